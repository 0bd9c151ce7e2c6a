// The device build's sscanf. Its one caller is cJSON, which reads back each
// number it prints that is not a whole number ("%lg") to check that nothing
// was lost. The C library's whole scanf family would cost every plug-in
// with its own copy of the static binary a page of code; strtod, which
// cJSON needs anyway to parse numbers, does this one job.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

extern "C" int sscanf(const char* text, const char* format, ...)
{
    if (std::strcmp(format, "%lg") != 0)
        return 0;
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text)
        return 0;
    va_list args;
    va_start(args, format);
    *va_arg(args, double*) = value;
    va_end(args);
    return 1;
}
