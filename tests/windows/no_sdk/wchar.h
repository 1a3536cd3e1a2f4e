/* The Visual Studio-mode build of the link check has no C library headers (no Windows SDK on
 * the build machine). korvane.h includes <wchar.h> for wchar_t, which in C comes from
 * <stddef.h>, part of the compiler itself. */
#include <stddef.h>
