#pragma once

#include <span>
#include <string>

#include "frames.h"

// The link requests go to: the TCP link or the COM port. The window chooses one of them and
// hands it every request, whichever it is.
class RequestLink {
  public:
    // Whether the link takes requests at all; one that does not is passed over in silence.
    virtual bool Ready() const = 0;
    // Sends one frame; false when it could not go out.
    virtual bool Send(std::span<const Byte> frame) = 0;
    // The framing the link's requests and replies use.
    virtual Framing LinkFraming() const = 0;
    // The link's name in the traffic trace ("TCP", "COM5").
    virtual std::string TraceName() const = 0;

  protected:
    RequestLink() = default;
    RequestLink(const RequestLink&) = default;
    RequestLink& operator=(const RequestLink&) = default;
    ~RequestLink() = default;
};
