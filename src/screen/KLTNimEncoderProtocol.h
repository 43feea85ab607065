// What the server asks of a screen encoder.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "screen/KLGeometry.h"

namespace kl {

class KLTDisplaySet;
class KLTDisplay;
class KLNetSocket;

// The viewer's capability record as it came off the wire (100 bytes).
using ClientCapabilitiesBytes = std::array<uint8_t, 100>;

class KLTNimEncoderProtocol {
public:
    virtual ~KLTNimEncoderProtocol() = default;
    virtual void clearRectangles() = 0;
    virtual void setEncoderInformation(std::shared_ptr<KLTDisplaySet> displaySet, std::shared_ptr<KLNetSocket> socket,
                                       const ClientCapabilitiesBytes& capabilities) = 0;
    virtual void addDirtyRectangle(const Rect& rect) = 0;
    virtual void encodeFrame(int frame, bool lossyOnly, const std::shared_ptr<KLTDisplay>& display) = 0;
    virtual void encodeFrame(int frame, bool lossyOnly, const std::shared_ptr<KLTDisplay>& display,
                             uint32_t packetDesignation) = 0;
};

}  // namespace kl
