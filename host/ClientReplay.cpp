#include "host/ClientReplay.h"

#include <string>
#include <utility>

#include "capture/CaptureReader.h"
#include "capture/Decode.h"
#include "capture/ReplayClock.h"
#include "net/LogFormat.h"
#include "net/NetMsg.h"
#include "plinth/Timer.h"

namespace host {

bool ReplayCapture(const std::string& path, const ReplayHooks& hooks, std::string& error) {
    std::string bytes;
    if (!capture::ReadCaptureFile(path, bytes, error)) {
        return false;
    }
    capture::CaptureReader reader(std::move(bytes));
    os::Timer* timer = os::GetTimer();
    capture::CapturedItem item;
    ReceivedNetMsg parsed;
    const auto say = [&path](const capture::CapturedItem& at, const std::string& text) {
        LogText(3, ("minimap-client: " + path + ": frame " + std::to_string(at.frame) + ": " + text)
                       .c_str());
    };
    capture::ReplayClock clock;
    while (reader.Next(item)) {
        const std::int64_t origin = reader.GetOriginNs().value_or(item.timeNs);
        std::int64_t cutNs = 0;
        const std::int64_t dueMs = clock.At(item.timeNs - origin, cutNs) / 1000000;
        if (cutNs != 0) {
            say(item, capture::ReplayClockJumpText(cutNs));
        }
        if (dueMs > timer->Now()) {
            timer->Advance(dueMs - timer->Now());
        }
        switch (item.kind) {
            case capture::CapturedItem::Kind::Open:
            case capture::CapturedItem::Kind::Close:
                hooks.connection(item.kind == capture::CapturedItem::Kind::Open);
                break;
            case capture::CapturedItem::Kind::Message:
                if (item.direction == capture::Direction::ServerToClient) {
                    if (ParseNetMsg(item.bytes.data(), item.bytes.size(), parsed)) {
                        hooks.deliver(*parsed.Get());
                    }
                } else {
                    const capture::DecodedMessage m = capture::DecodeMessage(item.bytes);
                    if (m.name == "Query" && m.error.empty()) {
                        for (const capture::Field& f : m.fields) {
                            if (f.name == "query.arg") {
                                hooks.query(static_cast<std::int32_t>(f.i));
                            }
                        }
                    }
                }
                break;
            case capture::CapturedItem::Kind::Problem:
                // The replay goes on past what the capture lacks, and says where it was.
                say(item, item.error);
                break;
        }
    }
    if (!reader.GetError().empty()) {
        error = path + ": " + reader.GetError();
        return false;
    }
    if (!reader.GetWarning().empty()) {
        LogText(3, ("minimap-client: " + path + ": " + reader.GetWarning()).c_str());
    }
    return true;
}

}  // namespace host
