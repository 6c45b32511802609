// A second process for the endpoint suite. "serve" publishes an endpoint answering the messages
// of endpoint_peer.h and pumps until kQuit; "hang" publishes one and never dispatches. Either
// prints its handle on the first line of stdout.
#include "tests/platform/endpoint_peer.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/MessageEndpoint.h"
#include "platform/MessageQueue.h"

using platform::Message;
using platform::MessageEndpoint;

namespace {

void SayLine(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::int64_t CheckOrder(const std::vector<std::uint64_t>& record) {
    for (std::size_t i = 0; i < record.size(); ++i) {
        if (record[i] != i + 1) return -1;
    }
    return static_cast<std::int64_t>(record.size());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace endpoint_peer;
    const bool hang = argc > 1 && std::strcmp(argv[1], "hang") == 0;
    std::vector<std::uint64_t> record;
    bool done = false;
    auto endpoint = MessageEndpoint::Create([&](const Message& m) -> std::int64_t {
        switch (m.msg) {
            case kEcho:
                return static_cast<std::int64_t>(m.wParam) + m.lParam;
            case kRecord:
                record.push_back(m.wParam);
                return 0;
            case kCheckOrder:
                return CheckOrder(record);
            case kCallBack: {
                const auto answer = MessageEndpoint::Send(
                    static_cast<platform::EndpointHandle>(m.wParam), Message{kEcho, 1, m.lParam});
                return answer.value_or(-1);
            }
            case kBlock:
                SayLine("blocked");
                for (;;) pause();
            case kQuit:
                done = true;
                return 0;
        }
        return -1;
    });
    if (!endpoint) return 1;
    std::printf("%u\n", endpoint->Handle());
    std::fflush(stdout);
    if (hang) {
        for (;;) pause();
    }
    while (!done) platform::MessageQueue::ForCurrentThread().Pump(std::chrono::seconds(1));
    return 0;
}
