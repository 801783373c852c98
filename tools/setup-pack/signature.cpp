// Reads the signer's name out of an Authenticode certificate table with OpenSSL's PKCS#7 parser.
#include "signature.h"

#include <memory>

#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "bytes.h"

namespace {

const uint16_t kCertificateRevision2 = 0x0200;
const uint16_t kCertificatePkcsSignedData = 0x0002;
const size_t kCertificateHeader = 8;  // dwLength, wRevision, wCertificateType

uint32_t Little(const uint8_t* at, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

// A name as UTF-8 with control characters shown as '?', so that it prints on one line.
std::string Printable(const ASN1_STRING* text)
{
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, text);
    std::string out;
    for (int i = 0; i < length; ++i)
        out.push_back(utf8[i] < 0x20 || utf8[i] == 0x7F ? '?' : static_cast<char>(utf8[i]));
    OPENSSL_free(utf8);
    return out;
}

std::string SubjectOf(X509* certificate)
{
    X509_NAME* subject = X509_get_subject_name(certificate);
    int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (at >= 0)
        return Printable(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
    char line[256];
    X509_NAME_oneline(subject, line, sizeof line);
    return line;
}

// The signer of a DER PKCS#7 SignedData: the certificate its first SignerInfo names by issuer and serial.
std::string SignerOf(const uint8_t* der, size_t size, std::string* problem)
{
    const unsigned char* at = der;
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> signedData(d2i_PKCS7(nullptr, &at, static_cast<long>(size)),
                                                             PKCS7_free);
    std::string signer;
    if (!signedData || !PKCS7_type_is_signed(signedData.get())) {
        *problem = "the certificate is not PKCS#7 signed data";
    } else {
        STACK_OF(X509)* signers = PKCS7_get0_signers(signedData.get(), nullptr, 0);
        if (signers != nullptr && sk_X509_num(signers) > 0)
            signer = SubjectOf(sk_X509_value(signers, 0));
        else
            *problem = "the signed data carries no certificate of its signer";
        sk_X509_free(signers);
    }
    ERR_clear_error();  // what OpenSSL queued about a malformed input is told in *problem
    return signer;
}

}  // namespace

SignatureView ReadSignature(ByteSpan file, const PeImage& image)
{
    SignatureView view;
    if (image.dirCount <= kDirSecurity || image.dirSize[kDirSecurity] == 0)
        return view;
    view.present = true;
    // This directory alone holds a file offset, not an address: the table is not loaded.
    uint64_t offset = image.dirRva[kDirSecurity], size = image.dirSize[kDirSecurity];
    if (offset > file.size || size > file.size - offset || size < kCertificateHeader) {
        view.problem = "the certificate table lies outside the file";
        return view;
    }
    const uint8_t* table = file.data + offset;
    uint32_t length = Little(table, 4);
    if (length <= kCertificateHeader || length > size)
        view.problem = "the first certificate's length " + std::to_string(length) + " does not fit the table";
    else if (Little(table + 4, 2) != kCertificateRevision2 || Little(table + 6, 2) != kCertificatePkcsSignedData)
        view.problem = "the first certificate is not a revision 2 PKCS#7 one";
    else
        view.signer = SignerOf(table + kCertificateHeader, length - kCertificateHeader, &view.problem);
    return view;
}

bool StripSignature(ByteSpan file, const PeImage& image, std::vector<uint8_t>* out)
{
    bool isSigned = image.dirCount > kDirSecurity && image.dirSize[kDirSecurity] != 0;
    uint64_t end = isSigned ? image.dirRva[kDirSecurity] : file.size;
    if (end < image.sectionTableOffset || end + (isSigned ? image.dirSize[kDirSecurity] : 0) != file.size)
        return false;
    out->assign(file.data, file.data + end);
    if (isSigned) {
        uint8_t* security = out->data() + image.optionalOffset + kOptDataDirectories + 8 * kDirSecurity;
        Put32(security, 0);
        Put32(security + 4, 0);
    }
    Put32(out->data() + image.optionalOffset + kOptCheckSum, 0);
    return true;
}
