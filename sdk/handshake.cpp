#include "sdk/handshake.h"

#include "sdk/activity_json.h"
#include "sdk/diagnostics.h"
#include "sdk/discord_message.h"

#include <optional>
#include <vector>

namespace orvsdk {
namespace {

using TimePoint = std::chrono::steady_clock::time_point;

// A Discord listens, and the system would not let us talk to it: the user
// must read why nothing shows, and what to do.
std::string deniedAccessFailure(const std::vector<std::string>& endpoints)
{
    std::string text = "no Discord client could be used: the system refused this program access to";
    for (size_t i = 0; i < endpoints.size(); ++i) {
        text += i == 0 ? " " : ", ";
        text += endpoints[i];
    }
    text += "; ";
    text += accessDeniedCause();
    return text;
}

void logBounded(const ClientOptions& options, EDiscordLogLevel level, const std::string& text)
{
    if (options.log) {
        options.log(level, bounded(text));
    }
}

EDiscordResult awaitReady(const ClientOptions& options, ReadyConnection& connection, TimePoint deadline,
                          std::string& why)
{
    Transport& transport = *connection.transport;
    FrameDecoder& decoder = connection.decoder;
    char buffer[4096];
    for (;;) {
        Frame frame;
        FrameDecoder::Status status = FrameDecoder::Status::NeedMore;
        while ((status = decoder.next(frame)) == FrameDecoder::Status::Ready) {
            if (frame.opcode == Opcode::Close) {
                const std::optional<nlohmann::json> close = parseMessage(frame.payload);
                const int code = close ? intField(*close, "code", 0) : 0;
                why = "Discord refused the handshake: " + frame.payload;
                return resultForCloseCode(code);
            }
            if (frame.opcode == Opcode::Ping) {
                const std::string pong = encodeFrame(Opcode::Pong, frame.payload);
                // A Discord that pings and never reads fills the pipe: the
                // answer, too, gets only the time that is left.
                if (!transport.send(pong.data(), pong.size(), timeLeft(deadline))) {
                    why = "the connection broke during the handshake, or Discord stopped reading";
                    return DiscordResult_ServiceUnavailable;
                }
                continue;
            }
            const std::optional<nlohmann::json> message = parseMessage(frame.payload);
            if (frame.opcode == Opcode::Frame && message && stringField(*message, "evt") == "READY") {
                if (options.log) {
                    options.log(DiscordLogLevel_Info, "connected to Discord");
                }
                return DiscordResult_Ok;
            }
        }
        if (status == FrameDecoder::Status::Error) {
            why = "bad frame during the handshake: " + decoder.error();
            return DiscordResult_ServiceUnavailable;
        }
        const auto left = timeLeft(deadline);
        if (left.count() <= 0) {
            why = "Discord did not answer the handshake in time";
            return DiscordResult_ServiceUnavailable;
        }
        const int got = transport.receive(buffer, sizeof buffer, left);
        if (got == Transport::kClosed) {
            why = "Discord closed the connection during the handshake";
            return DiscordResult_ServiceUnavailable;
        }
        decoder.feed(buffer, static_cast<size_t>(got));
    }
}

}  // namespace

EDiscordResult shakeHands(const ClientOptions& options, ReadyConnection& connection, TimePoint deadline,
                          std::string& why)
{
    const nlohmann::json handshake = {{"v", 1}, {"client_id", std::to_string(options.clientId)}};
    const std::string bytes = encodeFrame(Opcode::Handshake, handshake.dump());
    if (!connection.transport->send(bytes.data(), bytes.size(), timeLeft(deadline))) {
        why = "Discord did not take the handshake in time";
        return DiscordResult_ServiceUnavailable;
    }
    return awaitReady(options, connection, deadline, why);
}

EDiscordResult connectFirstReady(const ClientOptions& options, TimePoint deadline, ReadyConnection& connection)
{
    ConnectPolicy trust = options.trust;
    if (!trust.warn && options.log) {
        trust.warn = [&options](const std::string& text) { logBounded(options, DiscordLogLevel_Warn, text); };
    }
    std::optional<EDiscordResult> refused;
    std::vector<std::string> deniedAccess;
    for (const std::string& endpoint : options.endpoints.empty() ? discordEndpoints() : options.endpoints) {
        if (timeLeft(deadline).count() <= 0) {
            break;
        }
        OpenedEndpoint opened = openEndpoint(endpoint, trust, deadline);
        if (opened.deniedAccess) {
            deniedAccess.push_back(endpoint);
        }
        if (!opened.transport) {
            continue;
        }
        ReadyConnection candidate{std::move(opened.transport), FrameDecoder()};
        std::string why;
        const EDiscordResult result = shakeHands(options, candidate, deadline, why);
        if (result == DiscordResult_Ok) {
            connection = std::move(candidate);
            return result;
        }
        std::string gaveUp = endpoint;
        gaveUp += " given up: ";
        gaveUp += why;
        logBounded(options, DiscordLogLevel_Error, gaveUp);
        if (!refused) {
            refused = result;
        }
    }
    if (refused) {
        return *refused;
    }
    if (!deniedAccess.empty()) {
        logBounded(options, DiscordLogLevel_Error, deniedAccessFailure(deniedAccess));
    } else {
        logBounded(options, DiscordLogLevel_Info, "no Discord client is listening");
    }
    return DiscordResult_NotRunning;
}

}  // namespace orvsdk
