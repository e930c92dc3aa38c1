// A separate process running one transfer of the Poll object, for the tests
// that need two transfers at once or a transfer killed midway:
//   transfer_runner get DIR      GetFiles into DIR
//   transfer_runner put DIR      PutFiles from DIR
// Prints the status in hexadecimal and exits 0 (2 for a usage error).
#include <cstdio>
#include <cstring>
#include <string>

#include "poll/poll.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    std::u16string wide;
    for (const char* p = argv[2]; *p != '\0'; ++p) wide.push_back(static_cast<char16_t>(*p));
    BSTR dir = SysAllocString(wide.c_str());
    HRESULT hr = S_OK;
    {
        CPoll poll;
        if (std::strcmp(argv[1], "get") == 0) {
            hr = poll.GetFiles(dir, nullptr);
        } else if (std::strcmp(argv[1], "put") == 0) {
            hr = poll.PutFiles(dir, nullptr, nullptr);
        } else {
            SysFreeString(dir);
            return 2;
        }
    }
    SysFreeString(dir);
    std::printf("%08X\n", static_cast<unsigned>(hr));
    return 0;
}
