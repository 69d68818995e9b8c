// Any byte stream into frame reading: the result is a message whose length
// the stream announced, or one of the framing failure texts; never a crash,
// a hang or more memory than the announced (bounded) length.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "protocol/pipe_framing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The stream comes from a memory file: a plain descriptor that reads like
    // a connection and ends where the input ends.
    const velmora::vpn::platform::OwnedHandle owned(memfd_create("frame", MFD_CLOEXEC));
    const int stream = owned.get();
    if (!owned || (size > 0 && write(stream, data, size) != static_cast<ssize_t>(size))) return 0;
    lseek(stream, 0, SEEK_SET);

    std::size_t consumed = 0;
    for (int frame = 0; frame < 4; ++frame) {
        std::string message = "previous";
        std::string error;
        const bool ok = velmora::vpn::readMessage(stream, message, error);
        if (ok) {
            consumed += 4 + message.size();
            if (message.size() > velmora::vpn::kMaxPipeMessageSize || consumed > size || !error.empty()) std::abort();
            continue;
        }
        if (error != "Pipe closed while reading message" && error != "Pipe message is too large") {
            std::fprintf(stderr, "unexpected failure text: %s\n", error.c_str());
            std::abort();
        }
        if (error == "Pipe message is too large" && message != "previous") std::abort();
        break;
    }
    return 0;
}
