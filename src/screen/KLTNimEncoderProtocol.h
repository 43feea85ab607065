// What the server asks of a screen encoder.
#pragma once

#include <cstdint>
#include <memory>

#include "screen/KLGeometry.h"
#include "screen/protocol/ClientHandshake.h"

namespace kl {

class KLTDisplaySet;
class KLTDisplay;
class KLNetSocket;

class KLTNimEncoderProtocol {
public:
    virtual ~KLTNimEncoderProtocol() = default;
    virtual void clearRectangles() = 0;
    virtual void setEncoderInformation(std::shared_ptr<KLTDisplaySet> displaySet, std::shared_ptr<KLNetSocket> socket,
                                       const ClientCapabilities& capabilities) = 0;
    virtual void addDirtyRectangle(const Rect& rect) = 0;
    virtual void encodeFrame(int frame, bool lossyOnly, const std::shared_ptr<KLTDisplay>& display) = 0;
    virtual void encodeFrame(int frame, bool lossyOnly, const std::shared_ptr<KLTDisplay>& display,
                             uint32_t packetDesignation) = 0;
};

}  // namespace kl
