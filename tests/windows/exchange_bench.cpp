// korvane_exchange_bench.exe: the cost of one "?" status exchange on a COM port, through
// Korvane.dll and through the least a Win32 client can do, so that the two can be compared
// under the same Wine and the same controller. bench/wine_exchange_bench.cpp runs it.
//
//   korvane_exchange_bench.exe <library|client> COM<n> <exchanges>
//
// Prints "= exchanges <n>" and "= microseconds_per_exchange <t>"; exit status 0 when every
// exchange got its report, 1 when one did not, 2 for a usage error, 3 when the DLL did not
// load or the port did not open.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "dll_path.h"
#include "korvane_api.h"

namespace {

class Stopwatch {
  public:
    Stopwatch() {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    double microseconds() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start_.QuadPart) * 1e6 /
               static_cast<double>(frequency_.QuadPart);
    }

  private:
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER start_{};
};

void report(long exchanges, double microseconds) {
    std::printf("= exchanges %ld\n= microseconds_per_exchange %.1f\n", exchanges,
                microseconds / static_cast<double>(exchanges));
}

int runLibrary(const wchar_t* port, long exchanges) {
    korvane::wine::KorvaneLibrary library;
    const std::wstring dll = korvane::wine::dllBesideExecutable();
    if (!library.load(dll.c_str())) return 3;
    const korvane::wine::KorvaneApi& api = library.api();
    DeviceHandle handle = nullptr;
    if (api.Connect(port, 115200, &handle) != KORVANE_SUCCESS) {
        std::fprintf(stderr, "Korvane_Connect failed\n");
        return 3;
    }
    std::int32_t state = 0;
    const Stopwatch watch;
    for (long i = 0; i < exchanges; ++i) {
        if (api.GetState(handle, &state) != KORVANE_SUCCESS) {
            std::fprintf(stderr, "exchange %ld: %s\n", i, api.GetLastError(handle));
            api.Disconnect(handle);
            return 1;
        }
    }
    report(exchanges, watch.microseconds());
    api.Disconnect(handle);
    return 0;
}

// The client: 115200 8N1, write "?", then read what has arrived (waiting for one byte when
// nothing has) until the line's LF. The fastest way found to read a COM port under Wine.
class MinimalClient {
  public:
    explicit MinimalClient(const wchar_t* port) {
        const std::wstring path = std::wstring(L"\\\\.\\") + port;
        handle_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(handle_, &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        COMMTIMEOUTS timeouts{0, 0, 50, 10, 1000};
        if (!SetCommState(handle_, &dcb) || !SetCommTimeouts(handle_, &timeouts)) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }
    ~MinimalClient() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    MinimalClient(const MinimalClient&) = delete;
    MinimalClient& operator=(const MinimalClient&) = delete;

    bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

    bool exchange() {
        DWORD written = 0;
        if (!WriteFile(handle_, "?", 1, &written, nullptr) || written != 1) return false;
        for (;;) {
            DWORD errors = 0;
            COMSTAT status{};
            ClearCommError(handle_, &errors, &status);
            DWORD want = status.cbInQue == 0 ? 1 : status.cbInQue;
            if (want > sizeof buffer_) want = sizeof buffer_;
            DWORD got = 0;
            if (!ReadFile(handle_, buffer_, want, &got, nullptr) || got == 0) return false;
            if (std::memchr(buffer_, '\n', got) != nullptr) return true;
        }
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    char buffer_[256] = {};
};

int runClient(const wchar_t* port, long exchanges) {
    MinimalClient client(port);
    if (!client.isOpen()) {
        std::fprintf(stderr, "cannot open the port\n");
        return 3;
    }
    const Stopwatch watch;
    for (long i = 0; i < exchanges; ++i) {
        if (!client.exchange()) {
            std::fprintf(stderr, "exchange %ld got no report\n", i);
            return 1;
        }
    }
    report(exchanges, watch.microseconds());
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const long exchanges = argc == 4 ? std::wcstol(argv[3], nullptr, 10) : 0;
    if (exchanges <= 0) {
        std::fprintf(stderr, "usage: korvane_exchange_bench.exe <library|client> COM<n> <n>\n");
        return 2;
    }
    if (std::wcscmp(argv[1], L"library") == 0) return runLibrary(argv[2], exchanges);
    if (std::wcscmp(argv[1], L"client") == 0) return runClient(argv[2], exchanges);
    std::fprintf(stderr, "unknown mode\n");
    return 2;
}
