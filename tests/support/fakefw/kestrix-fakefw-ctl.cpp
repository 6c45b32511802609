// kestrix-fakefw-ctl SOCKET COMMAND...: sends one command to the fake kernel's control socket
// and prints the answer; exit status 0 for "ok", 1 otherwise.
#include <cstdio>
#include <string>

#include "tests/support/FakeFwControl.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: kestrix-fakefw-ctl SOCKET COMMAND [N]\n", stderr);
        return 2;
    }
    std::string command = argv[2];
    for (int i = 3; i < argc; ++i) command += std::string(" ") + argv[i];
    const std::string answer = fakefw::SendCommand(argv[1], command);
    std::puts(answer.c_str());
    return answer.rfind("ok", 0) == 0 ? 0 : 1;
}
