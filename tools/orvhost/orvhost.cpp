// A stand-in for the emulator front end in tests and the demo: a process
// named orvhost.exe that only waits, until it is ended or, with a number of
// seconds as its argument, until they have passed.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    const DWORD wait = argc > 1 ? static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10)) * 1000 : INFINITE;
    Sleep(wait);
    return 0;
}
