// Who signed a setup, and the image as it was before: the Authenticode signature in its certificate table, read safely.
#ifndef SETUP_PACK_SIGNATURE_H
#define SETUP_PACK_SIGNATURE_H

#include <string>
#include <vector>

#include "pe_reader.h"

struct SignatureView {
    bool present = false;  // the image has a certificate table
    std::string signer;    // the signing certificate's subject common name (or whole subject)
    std::string problem;   // why a present table names no signer; one line
};

// Reads the first WIN_CERTIFICATE of the security directory as PKCS#7 signed data and names
// the certificate of its first signer. It does not check the signature: osslsigncode verify
// (or Windows) does that against the image's hash.
SignatureView ReadSignature(ByteSpan file, const PeImage& image);

// The image as it was before signing, which appends the certificate table, points the security
// directory at it and sums the checksum anew: the table cut off, the directory entry and the
// checksum zero. False when the table does not end the file, where signing puts it.
bool StripSignature(ByteSpan file, const PeImage& image, std::vector<uint8_t>* out);

#endif
