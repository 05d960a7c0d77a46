#pragma once

#include <string>

#include "upload/PostTransfer.h"

namespace qv {

// Opens a connection to `address` the way the built-in sender does, and closes it: the
// TCP connection, and for https the TLS handshake with the certificate checks of
// `options`, within its connect time limit. Nothing is sent. Status 0 when it
// connected, else curl's status for the failure with its reason (60 and "SSL certificate
// problem: self-signed certificate" for a certificate the checks refuse). Never throws.
SendResult CheckConnection(const std::string& address, const SendOptions& options);

}  // namespace qv
