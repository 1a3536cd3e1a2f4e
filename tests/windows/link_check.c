/*
 * korvane_link_*.exe: a C program that links Korvane.dll through an import library instead
 * of loading it by hand, as most applications do. Built twice from this file: by MinGW's gcc
 * against libkorvane.dll.a, and by clang in Visual Studio mode with lld-link against
 * Korvane.lib. The second has no C runtime at all (there is no Visual Studio runtime on the
 * build machine): its own entry point, and nothing but kernel32 besides Korvane.dll.
 *
 *   korvane_link_*.exe COM<n>
 *
 * Prints "= name value" lines for the test driver; exits 0 when every call succeeded.
 */
#include <korvane/korvane.h>

/* The few kernel32 functions used, declared here so that no Windows SDK header is needed. */
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) wchar_t* __stdcall GetCommandLineW(void);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

static void put(const char* text) {
    unsigned long size = 0, written = 0;
    while (text[size] != '\0') ++size;
    WriteFile(GetStdHandle((unsigned long)-11 /* STD_OUTPUT_HANDLE */), text, size, &written, 0);
}

static void putInt(long value) {
    char digits[24];
    int n = 0;
    unsigned long magnitude = value < 0 ? 0ul - (unsigned long)value : (unsigned long)value;
    do {
        digits[n++] = (char)('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0u);
    if (value < 0) put("-");
    char text[24];
    int i = 0;
    while (n > 0) text[i++] = digits[--n];
    text[i] = '\0';
    put(text);
}

static void value(const char* name, const char* text) {
    put("= ");
    put(name);
    put(" ");
    put(text);
    put("\n");
}

static void valueInt(const char* name, long number) {
    put("= ");
    put(name);
    put(" ");
    putInt(number);
    put("\n");
}

/* The port: the last word of the command line. */
static const wchar_t* portArgument(void) {
    const wchar_t* line = GetCommandLineW();
    const wchar_t* last = line;
    for (const wchar_t* p = line; *p != L'\0'; ++p) {
        if (*p == L' ' && p[1] != L' ' && p[1] != L'\0') last = p + 1;
    }
    return last;
}

static int run(void) {
    int failures = 0;
    value("version", Korvane_GetVersion());

    DeviceHandle device = 0;
    ResultCode result = Korvane_Connect(portArgument(), 115200, &device);
    valueInt("connect", result);
    if (result != KORVANE_SUCCESS) return 1;

    int32_t state = 0;
    result = Korvane_GetState(device, &state);
    failures += result != KORVANE_SUCCESS;
    valueInt("state", state);

    /* Floats in both directions: a relative jog out, the positions back (in thousandths). */
    result = Korvane_JogRel(device, 0, 2.5f, 300.0f);
    failures += result != KORVANE_SUCCESS;
    valueInt("jog", result);
    float positions[6];
    int32_t count = 0;
    result = Korvane_GetPosition(device, positions, &count);
    failures += result != KORVANE_SUCCESS;
    valueInt("count", count);

    /* A pointer-sized length: size_t is 4 bytes on x86 and 8 on x64. */
    char uuid[64];
    result = Korvane_GetDeviceUUID(device, uuid, sizeof uuid);
    failures += result != KORVANE_SUCCESS;
    value("uuid", result == KORVANE_SUCCESS ? uuid : "(none)");

    valueInt("invalid_axis", Korvane_SetPos(device, 6, 0.0f));
    value("last_error_null", Korvane_GetLastError(0));

    result = Korvane_Disconnect(device);
    failures += result != KORVANE_SUCCESS;
    valueInt("disconnect", result);
    valueInt("failures", failures);
    return failures == 0 ? 0 : 1;
}

#if defined(_MSC_VER)
/* The compiler refers to this symbol whenever floating point is used; the C runtime that
 * would define it is not linked. */
int _fltused = 0;

void start(void) {
    ExitProcess((unsigned int)run());
}
#else
int main(void) {
    return run();
}
#endif
