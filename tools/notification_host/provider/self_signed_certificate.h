// A throwaway certificate for the provider endpoint, so that trying it needs no certificate work:
// `serve --provider-listen` without --tls-cert and --tls-key makes one for the listen address,
// valid for 30 days, and writes it (and its key) beside the service's socket, in a folder only
// this user reaches. A client trusts it with `curl --cacert FILE` (or node's `ca`).
#pragma once

#include <string>

#include "platform/linux/expected.h"

namespace quenlarch::notification_host::provider {

struct CertificateFiles {
  std::string certificate;  // PEM certificate, self-signed
  std::string key;          // its PEM private key (PKCS#8), mode 0600
};

// Where the files for the service whose socket is `socketPath` go: `<socket stem>-provider.pem`
// and `-provider.key` in the socket's folder (notification-host.sock → notification-host-...).
CertificateFiles certificateFilesBeside(const std::string& socketPath);

// Makes a P-256 key and a self-signed certificate whose names cover the host of `listen`
// (ADDRESS:PORT or [IPV6]:PORT) and the loopback names (127.0.0.1, ::1, localhost), and replaces
// `files` with them; one line naming the file or the step when that fails.
Expected<void> writeSelfSignedCertificate(const std::string& listen, const CertificateFiles& files);

}  // namespace quenlarch::notification_host::provider
