// The simulator's request path as it runs it: reads of up to Simulator::kLargestRead bytes into
// the stream framer run on requests, every complete request to the module model, every reply framed
// back. data[0]: bit 0 the framing, bit 1 whether the module answers unit 0xFF; data[1]: the size
// of the reads; data[2]: the module's address; the rest is the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "framed_stream.h"
#include "module_model.h"
#include "simulator.h"

namespace {

using Frames = std::vector<std::vector<Byte>>;

// A request for this module (its address at the time, which a request may change) gets a reply
// from it: the same unit and function, or the function with the exception bit and one of the
// four exception codes. Any other unit gets none.
void CheckReply(std::span<const Byte> request, const std::optional<sim::Message>& reply,
                Byte address, bool answersBroadcastUnit) {
    const Byte unit = request[0];
    const bool forMe = unit == address || (answersBroadcastUnit && unit == sim::kBroadcastUnit);
    TrapIf(forMe != reply.has_value());
    if (!reply) {
        return;
    }
    TrapIf(reply->size() < 3 || (*reply)[0] != unit);
    if ((*reply)[1] == (request[1] | 0x80U)) {
        TrapIf(reply->size() != 3 || (*reply)[2] < sim::kIllegalFunction ||
               (*reply)[2] > sim::kServerDeviceFailure);
    } else {
        TrapIf((*reply)[1] != request[1]);
    }
}

// The panel reads the reply whole and alone, through the framing its link uses.
void CheckPanelReadsIt(const std::vector<Byte>& framed, const sim::Message& reply,
                       Framing framing) {
    const bool rtu = framing == Framing::ModbusRtu;
    const FramedStream read = FeedInPieces(framing, framed, framed.size());
    TrapIf(read.frames.size() != 1 || read.droppedBytes != 0 || read.buffered != 0);
    TrapIf(read.frames.front() != (rtu ? framed : reply));
}

// Runs the stream through a fresh module in reads of `readSize` bytes; the framed replies.
Frames Serve(std::span<const Byte> stream, std::size_t readSize, Framing framing,
             const sim::ModuleSettings& settings) {
    StreamFramer framer(framing, Direction::Request);
    sim::ModuleModel module(settings);
    Frames replies;
    for (std::size_t at = 0; at < stream.size(); at += readSize) {
        framer.Append(stream.subspan(at, std::min(readSize, stream.size() - at)));
        while (const auto piece = framer.Next()) {
            if (!piece->IsFrame()) {
                continue;
            }
            const std::span<const Byte> request = MessageOf(piece->bytes, framing);
            TrapIf(request.size() < 2);
            const Byte address = module.Address();
            const auto reply = module.HandleRequest(request);
            CheckReply(request, reply, address, settings.answerBroadcastUnit);
            if (reply) {
                replies.push_back(EncodeMessage(*reply, framing, piece->transactionId));
                CheckPanelReadsIt(replies.back(), *reply, framing);
            }
        }
        // What waits is at most one incomplete request.
        TrapIf(framer.Buffered() >= StreamFramer::kMaxFrame);
    }
    TrapIf(replies.size() > stream.size() / 2);  // every request takes at least two bytes
    return replies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const Framing framing = (data[0] & 1U) != 0 ? Framing::ModbusRtu : Framing::ModbusTcp;
    sim::ModuleSettings settings;
    settings.answerBroadcastUnit = (data[0] & 2U) != 0;
    settings.address = static_cast<Byte>(1 + data[2] % 247);
    const std::size_t readSize = 1U + data[1] * sim::Simulator::kLargestRead / 256;
    const std::span<const Byte> stream(data + 3, size - 3);
    // The same replies whatever the reads the stream arrives in.
    TrapIf(Serve(stream, readSize, framing, settings) !=
           Serve(stream, sim::Simulator::kLargestRead, framing, settings));
    return 0;
}
