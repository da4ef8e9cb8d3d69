// discord-peer: stands in for the Discord client in tests and the demo. It
// listens on discord-ipc-N, answers like Discord, and writes every frame it
// receives as one JSON line.
#include "peer.h"

#include "sdk/transport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: discord-peer [--pipe N] [--endpoint PATH] [--sddl SDDL] [--out FILE] [--once]\n"
                 "                    [--close-handshake CODE] [--no-ready] [--ping-flood] [--ready-delay MS] [--error CODE]\n"
                 "                    [--hang-after N] [--drop-after N] [--malformed] [--oversized]\n"
                 "                    [--ping] [--split] [--flood N] [--deep-nesting N] [--silent]\n"
                 "                    [--strict] [--drop-within MS] [--keep-shown] [--close-after-ready]\n"
                 "                    [--garbage-handshake] [--error-flood N] [--error-flood-after MS]\n");
}

}  // namespace

int main(int argc, char** argv)
{
    discordpeer::Options options;
    int pipe = 0;
    const char* outPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--pipe") pipe = std::atoi(value());
        else if (arg == "--endpoint") options.endpoint = value();
        else if (arg == "--sddl") options.securityDescriptor = value();
        else if (arg == "--out") outPath = value();
        else if (arg == "--once") options.once = true;
        else if (arg == "--close-handshake") options.closeHandshakeCode = std::atoi(value());
        else if (arg == "--no-ready") options.noReady = true;
        else if (arg == "--ping-flood") options.pingFlood = true;
        else if (arg == "--ready-delay") options.readyDelayMs = std::atoi(value());
        else if (arg == "--error") options.errorCode = std::atoi(value());
        else if (arg == "--hang-after") options.hangAfter = std::atoi(value());
        else if (arg == "--drop-after") options.dropAfter = std::atoi(value());
        else if (arg == "--malformed") options.malformed = true;
        else if (arg == "--oversized") options.oversized = true;
        else if (arg == "--ping") options.ping = true;
        else if (arg == "--split") options.split = true;
        else if (arg == "--flood") options.flood = std::atoi(value());
        else if (arg == "--deep-nesting") options.deepNesting = std::atoi(value());
        else if (arg == "--silent") options.silent = true;
        else if (arg == "--strict") options.strict = true;
        else if (arg == "--drop-within") options.dropWithinMs = std::atoi(value());
        else if (arg == "--keep-shown") options.keepShownAfterClose = true;
        else if (arg == "--close-after-ready") options.closeAfterReady = true;
        else if (arg == "--garbage-handshake") options.garbageHandshake = true;
        else if (arg == "--error-flood") options.errorFlood = std::atoi(value());
        else if (arg == "--error-flood-after") options.errorFloodAfterMs = std::atoi(value());
        else {
            usage();
            return 2;
        }
    }
    if (options.endpoint.empty()) {
        if (pipe < 0 || pipe > 9) {
            usage();
            return 2;
        }
        options.endpoint = orvsdk::discordEndpoints()[static_cast<size_t>(pipe)];
    }
    options.out = stdout;
    if (outPath) {
        options.out = std::fopen(outPath, "ab");
        if (!options.out) {
            std::fprintf(stderr, "discord-peer: cannot open %s\n", outPath);
            return 1;
        }
    }
    discordpeer::Peer peer(options);
    if (!peer.run()) {
        std::fprintf(stderr, "discord-peer: cannot listen on %s\n", options.endpoint.c_str());
        return 1;
    }
    return 0;
}
