// catalog.cpp - writes a driver package's catalog (.cat) on the build host,
// as Windows' catalog tools (Inf2Cat, MakeCat with CatalogVersion=2 and
// HashAlgorithms=SHA256) make it for Windows 10 and later: a PKCS#7
// SignedData whose content is a certificate trust list (CTL) of the member
// files' SHA-256 hashes. The catalog is written unsigned; osslsigncode signs
// it (windows/sign_package.sh).
//
//   catalog -o OUT.cat -os OS_LIST -osattr OSATTR [-hwid ID]... FILE...
//
// Each FILE becomes one member. A PE image (a driver) is hashed as
// Authenticode hashes it, so the hash matches the image signed or not; any
// other file (the INF) is hashed whole. Each member carries its hash as the
// CTL entry's subject identifier and these attributes:
//   - File   (name-value): the file's name;
//   - OSAttr (name-value): OSATTR, the Windows versions it applies to ("2:10.0");
//   - member information (v2): an image member or a flat-file member;
//   - SPC indirect data: the hash as a DigestInfo, with SPC PE image data for
//     an image and an SPC link for a flat file, as in a signed image.
// The catalog's own attributes (CTL extensions, name-value): OS = OS_LIST
// ("_v100_X64,_v100_X86") and HWID1..n = each -hwid, lower case.
//
// The ASN.1 is defined with OpenSSL's templates and encoded by OpenSSL; the
// PKCS#7 envelope is OpenSSL's. Attribute name-values follow Windows'
// CRYPTCATATTRIBUTE: the name a BMPString, the flags
// CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII |
// CRYPTCAT_ATTR_NAMEASCII (0x10010001), the value UTF-16LE text with its
// terminating zero. SOURCE_DATE_EPOCH, when set, gives the catalog's time,
// so the same files make the same catalog.
#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// ---- ASN.1 types of Authenticode and of catalogs ---------------------------

// SpcString ::= CHOICE { unicode [0] IMPLICIT BMPSTRING, ascii [1] IMPLICIT IA5STRING }
struct SpcString {
    int type;
    union {
        ASN1_BMPSTRING* unicode;
        ASN1_IA5STRING* ascii;
    } value;
};
DECLARE_ASN1_FUNCTIONS(SpcString)
ASN1_CHOICE(SpcString) = {
    ASN1_IMP(SpcString, value.unicode, ASN1_BMPSTRING, 0),
    ASN1_IMP(SpcString, value.ascii, ASN1_IA5STRING, 1),
} ASN1_CHOICE_END(SpcString)
IMPLEMENT_ASN1_FUNCTIONS(SpcString)

// SpcLink ::= CHOICE { url [0] IMPLICIT IA5STRING, moniker [1] ..., file [2] EXPLICIT SpcString }
// (the moniker form is not used here)
struct SpcLink {
    int type;
    union {
        ASN1_IA5STRING* url;
        SpcString* file;
    } value;
};
DECLARE_ASN1_FUNCTIONS(SpcLink)
ASN1_CHOICE(SpcLink) = {
    ASN1_IMP(SpcLink, value.url, ASN1_IA5STRING, 0),
    ASN1_EXP(SpcLink, value.file, SpcString, 2),
} ASN1_CHOICE_END(SpcLink)
IMPLEMENT_ASN1_FUNCTIONS(SpcLink)

// SpcPeImageData ::= SEQUENCE { flags SpcPeImageFlags DEFAULT {includeResources},
//                               file [0] EXPLICIT SpcLink OPTIONAL }
struct SpcPeImageData {
    ASN1_BIT_STRING* flags;
    SpcLink* file;
};
DECLARE_ASN1_FUNCTIONS(SpcPeImageData)
ASN1_SEQUENCE(SpcPeImageData) = {
    ASN1_SIMPLE(SpcPeImageData, flags, ASN1_BIT_STRING),
    ASN1_EXP_OPT(SpcPeImageData, file, SpcLink, 0),
} ASN1_SEQUENCE_END(SpcPeImageData)
IMPLEMENT_ASN1_FUNCTIONS(SpcPeImageData)

// SpcAttributeTypeAndOptionalValue ::= SEQUENCE { type OBJECT IDENTIFIER, value ANY OPTIONAL }
struct SpcAttributeTypeAndOptionalValue {
    ASN1_OBJECT* type;
    ASN1_TYPE* value;
};
DECLARE_ASN1_FUNCTIONS(SpcAttributeTypeAndOptionalValue)
ASN1_SEQUENCE(SpcAttributeTypeAndOptionalValue) = {
    ASN1_SIMPLE(SpcAttributeTypeAndOptionalValue, type, ASN1_OBJECT),
    ASN1_OPT(SpcAttributeTypeAndOptionalValue, value, ASN1_ANY),
} ASN1_SEQUENCE_END(SpcAttributeTypeAndOptionalValue)
IMPLEMENT_ASN1_FUNCTIONS(SpcAttributeTypeAndOptionalValue)

// SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
//                                       messageDigest DigestInfo }
struct SpcIndirectDataContent {
    SpcAttributeTypeAndOptionalValue* data;
    X509_SIG* messageDigest;  // DigestInfo ::= SEQUENCE { AlgorithmIdentifier, OCTET STRING }
};
DECLARE_ASN1_FUNCTIONS(SpcIndirectDataContent)
ASN1_SEQUENCE(SpcIndirectDataContent) = {
    ASN1_SIMPLE(SpcIndirectDataContent, data, SpcAttributeTypeAndOptionalValue),
    ASN1_SIMPLE(SpcIndirectDataContent, messageDigest, X509_SIG),
} ASN1_SEQUENCE_END(SpcIndirectDataContent)
IMPLEMENT_ASN1_FUNCTIONS(SpcIndirectDataContent)

// A catalog attribute's name-value: SEQUENCE { name BMPSTRING, flags INTEGER, value OCTET STRING }
struct CatalogNameValue {
    ASN1_BMPSTRING* name;
    ASN1_INTEGER* flags;
    ASN1_OCTET_STRING* value;
};
DECLARE_ASN1_FUNCTIONS(CatalogNameValue)
ASN1_SEQUENCE(CatalogNameValue) = {
    ASN1_SIMPLE(CatalogNameValue, name, ASN1_BMPSTRING),
    ASN1_SIMPLE(CatalogNameValue, flags, ASN1_INTEGER),
    ASN1_SIMPLE(CatalogNameValue, value, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(CatalogNameValue)
IMPLEMENT_ASN1_FUNCTIONS(CatalogNameValue)

// A v2 member's information: CHOICE { image [0] IMPLICIT NULL, flatFile [2] IMPLICIT NULL }
struct CatalogMemberInfo2 {
    int type;
    union {
        ASN1_NULL* image;
        ASN1_NULL* flatFile;
    } value;
};
DECLARE_ASN1_FUNCTIONS(CatalogMemberInfo2)
ASN1_CHOICE(CatalogMemberInfo2) = {
    ASN1_IMP(CatalogMemberInfo2, value.image, ASN1_NULL, 0),
    ASN1_IMP(CatalogMemberInfo2, value.flatFile, ASN1_NULL, 2),
} ASN1_CHOICE_END(CatalogMemberInfo2)
IMPLEMENT_ASN1_FUNCTIONS(CatalogMemberInfo2)

// Attribute ::= SEQUENCE { type OBJECT IDENTIFIER, values SET OF ANY }
struct CatalogAttribute {
    ASN1_OBJECT* type;
    STACK_OF(ASN1_TYPE) * values;
};
DECLARE_ASN1_FUNCTIONS(CatalogAttribute)
ASN1_SEQUENCE(CatalogAttribute) = {
    ASN1_SIMPLE(CatalogAttribute, type, ASN1_OBJECT),
    ASN1_SET_OF(CatalogAttribute, values, ASN1_ANY),
} ASN1_SEQUENCE_END(CatalogAttribute)
IMPLEMENT_ASN1_FUNCTIONS(CatalogAttribute)
DEFINE_STACK_OF(CatalogAttribute)

// TrustedSubject ::= SEQUENCE { subjectIdentifier OCTET STRING, subjectAttributes SET OF Attribute }
struct CtlEntry {
    ASN1_OCTET_STRING* subjectIdentifier;
    STACK_OF(CatalogAttribute) * attributes;
};
DECLARE_ASN1_FUNCTIONS(CtlEntry)
ASN1_SEQUENCE(CtlEntry) = {
    ASN1_SIMPLE(CtlEntry, subjectIdentifier, ASN1_OCTET_STRING),
    ASN1_SET_OF(CtlEntry, attributes, CatalogAttribute),
} ASN1_SEQUENCE_END(CtlEntry)
IMPLEMENT_ASN1_FUNCTIONS(CtlEntry)
DEFINE_STACK_OF(CtlEntry)

// CertificateTrustList ::= SEQUENCE {
//   subjectUsage SEQUENCE OF OBJECT IDENTIFIER, listIdentifier OCTET STRING,
//   thisUpdate UTCTime, subjectAlgorithm AlgorithmIdentifier,
//   trustedSubjects SEQUENCE OF TrustedSubject, extensions [0] EXPLICIT Extensions OPTIONAL }
// (version, sequence number and next update are left out, as Windows'
// catalog tools leave them out)
struct Ctl {
    STACK_OF(ASN1_OBJECT) * subjectUsage;
    ASN1_OCTET_STRING* listIdentifier;
    ASN1_UTCTIME* thisUpdate;
    X509_ALGOR* subjectAlgorithm;
    STACK_OF(CtlEntry) * entries;
    STACK_OF(X509_EXTENSION) * extensions;
};
DECLARE_ASN1_FUNCTIONS(Ctl)
ASN1_SEQUENCE(Ctl) = {
    ASN1_SEQUENCE_OF(Ctl, subjectUsage, ASN1_OBJECT),
    ASN1_SIMPLE(Ctl, listIdentifier, ASN1_OCTET_STRING),
    ASN1_SIMPLE(Ctl, thisUpdate, ASN1_UTCTIME),
    ASN1_SIMPLE(Ctl, subjectAlgorithm, X509_ALGOR),
    ASN1_SEQUENCE_OF(Ctl, entries, CtlEntry),
    ASN1_EXP_SEQUENCE_OF_OPT(Ctl, extensions, X509_EXTENSION, 0),
} ASN1_SEQUENCE_END(Ctl)
IMPLEMENT_ASN1_FUNCTIONS(Ctl)

namespace {

using Bytes = std::vector<uint8_t>;

// Object identifiers (Windows' wincrypt.h and mscat.h names).
constexpr const char* kOidCtl = "1.3.6.1.4.1.311.10.1";                  // szOID_CTL
constexpr const char* kOidCatalogList = "1.3.6.1.4.1.311.12.1.1";        // szOID_CATALOG_LIST
constexpr const char* kOidCatalogListMember2 = "1.3.6.1.4.1.311.12.1.3"; // szOID_CATALOG_LIST_MEMBER2
constexpr const char* kOidNameValue = "1.3.6.1.4.1.311.12.2.1";          // CAT_NAMEVALUE_OBJID
constexpr const char* kOidMemberInfo2 = "1.3.6.1.4.1.311.12.2.3";        // CAT_MEMBERINFO2_OBJID
constexpr const char* kOidIndirectData = "1.3.6.1.4.1.311.2.1.4";        // SPC_INDIRECT_DATA_OBJID
constexpr const char* kOidPeImageData = "1.3.6.1.4.1.311.2.1.15";        // SPC_PE_IMAGE_DATAOBJ
constexpr const char* kOidCabData = "1.3.6.1.4.1.311.2.1.25";            // SPC_CAB_DATA_OBJID (flat files)

// CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII
constexpr long kNameValueFlags = 0x10010001;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "catalog: %s\n", what.c_str());
    ERR_print_errors_fp(stderr);
    std::exit(1);
}

template <typename T>
T* Must(T* value, const char* what) {
    if (value == nullptr) Die(std::string("OpenSSL: ") + what);
    return value;
}

void MustOk(int ok, const char* what) {
    if (ok <= 0) Die(std::string("OpenSSL: ") + what);
}

ASN1_OBJECT* Oid(const char* dotted) { return Must(OBJ_txt2obj(dotted, 1), dotted); }

bool Load(const std::string& path, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

uint32_t U32(const Bytes& b, size_t at) {
    return at + 4 <= b.size() ? uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
                                    uint32_t(b[at + 3]) << 24
                              : 0;
}

Bytes Sha256(const std::vector<std::pair<const uint8_t*, size_t>>& ranges) {
    Bytes digest(32);
    EVP_MD_CTX* ctx = Must(EVP_MD_CTX_new(), "EVP_MD_CTX_new");
    MustOk(EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr), "EVP_DigestInit_ex");
    for (auto [data, size] : ranges) MustOk(EVP_DigestUpdate(ctx, data, size), "EVP_DigestUpdate");
    unsigned size = 0;
    MustOk(EVP_DigestFinal_ex(ctx, digest.data(), &size), "EVP_DigestFinal_ex");
    EVP_MD_CTX_free(ctx);
    return digest;
}

// The Authenticode hash of a PE image: every byte of the file except the
// checksum field, the certificate-table entry of the data directory and
// the certificate table itself (an embedded signature), in file order.
// That is the hash of the sections in file order and of the data after
// them, as the Authenticode PE format defines it, for an image whose
// sections lie in the file in order, as a linker writes them. Returns false
// when the file is not a PE image.
bool AuthenticodeHash(const Bytes& b, Bytes* digest) {
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return false;
    size_t pe = U32(b, 0x3C);
    if (pe + 26 > b.size() || U32(b, pe) != 0x00004550) return false;
    size_t optional = pe + 24;
    unsigned magic = b[optional] | b[optional + 1] << 8;
    if (magic != 0x10B && magic != 0x20B) return false;
    size_t checksum = optional + 64;
    size_t directories = optional + (magic == 0x20B ? 112 : 96);
    size_t certificateEntry = directories + 8 * 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
    if (certificateEntry + 8 > b.size()) return false;
    size_t end = b.size();
    uint32_t certificateOffset = U32(b, certificateEntry), certificateSize = U32(b, certificateEntry + 4);
    if (certificateSize != 0) {
        if (size_t(certificateOffset) + certificateSize != b.size() || certificateOffset < certificateEntry + 8)
            Die("the image's certificate table is not at its end");
        end = certificateOffset;
    }
    // An unsigned image is hashed as signing will leave it: padded with
    // zeros to a multiple of 8 bytes, where the certificate table will go,
    // so the hash is the same before and after the image is signed.
    static const uint8_t zeros[8] = {};
    size_t padding = certificateSize == 0 && end % 8 != 0 ? 8 - end % 8 : 0;
    *digest = Sha256({{b.data(), checksum},
                      {b.data() + checksum + 4, certificateEntry - checksum - 4},
                      {b.data() + certificateEntry + 8, end - certificateEntry - 8},
                      {zeros, padding}});
    return true;
}

// Text as a catalog value: UTF-16LE with the terminating zero (ASCII only).
Bytes Utf16(const std::string& text) {
    Bytes out;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) Die("non-ASCII text in an attribute: " + text);
        out.push_back(uint8_t(c));
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

ASN1_BMPSTRING* Bmp(const std::string& text) {
    // A BMPString is UTF-16BE, without a terminating zero.
    Bytes big;
    for (char c : text) {
        big.push_back(0);
        big.push_back(uint8_t(c));
    }
    ASN1_BMPSTRING* out = Must(ASN1_BMPSTRING_new(), "ASN1_BMPSTRING_new");
    MustOk(ASN1_STRING_set(out, big.data(), int(big.size())), "ASN1_STRING_set");
    return out;
}

ASN1_OCTET_STRING* Octets(const Bytes& bytes) {
    ASN1_OCTET_STRING* out = Must(ASN1_OCTET_STRING_new(), "ASN1_OCTET_STRING_new");
    MustOk(ASN1_OCTET_STRING_set(out, bytes.data(), int(bytes.size())), "ASN1_OCTET_STRING_set");
    return out;
}

// DER of a value of one of the template types above.
template <typename T>
Bytes Der(const T* value, int (*encode)(const T*, unsigned char**)) {
    unsigned char* out = nullptr;
    int size = encode(value, &out);
    if (size <= 0) Die("OpenSSL: encoding failed");
    Bytes bytes(out, out + size);
    OPENSSL_free(out);
    return bytes;
}

// An ASN1_TYPE carrying an encoded SEQUENCE (or any other encoding) as is.
ASN1_TYPE* Any(const Bytes& der) {
    const unsigned char* p = der.data();
    ASN1_TYPE* out = Must(d2i_ASN1_TYPE(nullptr, &p, long(der.size())), "d2i_ASN1_TYPE");
    return out;
}

Bytes NameValue(const std::string& name, const std::string& value) {
    CatalogNameValue* nv = Must(CatalogNameValue_new(), "CatalogNameValue_new");
    ASN1_BMPSTRING_free(nv->name);
    nv->name = Bmp(name);
    MustOk(ASN1_INTEGER_set(nv->flags, kNameValueFlags), "ASN1_INTEGER_set");
    Bytes text = Utf16(value);
    MustOk(ASN1_OCTET_STRING_set(nv->value, text.data(), int(text.size())), "ASN1_OCTET_STRING_set");
    Bytes der = Der(nv, i2d_CatalogNameValue);
    CatalogNameValue_free(nv);
    return der;
}

// An attribute with one value, taken as it is encoded.
CatalogAttribute* Attribute(const char* oid, const Bytes& valueDer) {
    CatalogAttribute* attribute = Must(CatalogAttribute_new(), "CatalogAttribute_new");
    ASN1_OBJECT_free(attribute->type);
    attribute->type = Oid(oid);
    MustOk(sk_ASN1_TYPE_push(attribute->values, Any(valueDer)), "sk_ASN1_TYPE_push");
    return attribute;
}

Bytes MemberInfo2(bool image) {
    CatalogMemberInfo2* info = Must(CatalogMemberInfo2_new(), "CatalogMemberInfo2_new");
    info->type = image ? 0 : 1;  // index of the alternative in the CHOICE template
    info->value.image = Must(ASN1_NULL_new(), "ASN1_NULL_new");
    Bytes der = Der(info, i2d_CatalogMemberInfo2);
    CatalogMemberInfo2_free(info);
    return der;
}

// SpcIndirectDataContent of a member: SPC PE image data with the obsolete
// file link Authenticode signatures carry, or a flat file's SPC link.
Bytes IndirectData(bool image, const Bytes& digest) {
    SpcIndirectDataContent* content = Must(SpcIndirectDataContent_new(), "SpcIndirectDataContent_new");
    ASN1_OBJECT_free(content->data->type);
    SpcLink* link = Must(SpcLink_new(), "SpcLink_new");
    link->type = 1;  // file [2]
    link->value.file = Must(SpcString_new(), "SpcString_new");
    link->value.file->type = 0;  // unicode [0]
    if (image) {
        content->data->type = Oid(kOidPeImageData);
        SpcPeImageData* pe = Must(SpcPeImageData_new(), "SpcPeImageData_new");
        link->value.file->value.unicode = Bmp("<<<Obsolete>>>");
        pe->file = link;
        content->data->value = Any(Der(pe, i2d_SpcPeImageData));
        SpcPeImageData_free(pe);
    } else {
        content->data->type = Oid(kOidCabData);
        link->value.file->value.unicode = Bmp("");
        content->data->value = Any(Der(link, i2d_SpcLink));
        SpcLink_free(link);
    }
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* messageDigest = nullptr;
    X509_SIG_getm(content->messageDigest, &algorithm, &messageDigest);
    MustOk(X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr), "X509_ALGOR_set0");
    MustOk(ASN1_OCTET_STRING_set(messageDigest, digest.data(), int(digest.size())), "ASN1_OCTET_STRING_set");
    Bytes der = Der(content, i2d_SpcIndirectDataContent);
    SpcIndirectDataContent_free(content);
    return der;
}

struct Member {
    std::string name;
    bool image;
    Bytes digest;
};

Member ReadMember(const std::string& path) {
    Bytes bytes;
    if (!Load(path, &bytes)) Die("cannot read " + path);
    Member member;
    member.name = path.substr(path.find_last_of('/') + 1);
    member.image = AuthenticodeHash(bytes, &member.digest);
    if (!member.image) member.digest = Sha256({{bytes.data(), bytes.size()}});
    return member;
}

CtlEntry* Entry(const Member& member, const std::string& osAttr) {
    CtlEntry* entry = Must(CtlEntry_new(), "CtlEntry_new");
    MustOk(ASN1_OCTET_STRING_set(entry->subjectIdentifier, member.digest.data(), int(member.digest.size())),
           "ASN1_OCTET_STRING_set");
    for (CatalogAttribute* attribute :
         {Attribute(kOidNameValue, NameValue("File", member.name)), Attribute(kOidNameValue, NameValue("OSAttr", osAttr)),
          Attribute(kOidMemberInfo2, MemberInfo2(member.image)),
          Attribute(kOidIndirectData, IndirectData(member.image, member.digest))})
        MustOk(sk_CatalogAttribute_push(entry->attributes, attribute), "sk_CatalogAttribute_push");
    return entry;
}

// A catalog attribute is a CTL extension whose value is the name-value.
X509_EXTENSION* CatalogExtension(const std::string& name, const std::string& value) {
    ASN1_OBJECT* object = Oid(kOidNameValue);
    ASN1_OCTET_STRING* data = Octets(NameValue(name, value));
    X509_EXTENSION* extension = Must(X509_EXTENSION_create_by_OBJ(nullptr, object, 0, data), "X509_EXTENSION_create");
    ASN1_OBJECT_free(object);
    ASN1_OCTET_STRING_free(data);
    return extension;
}

std::string Lower(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int Usage() {
    std::fprintf(stderr, "usage: catalog -o OUT.cat -os OS_LIST -osattr OSATTR [-hwid ID]... FILE...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out, os, osAttr;
    std::vector<std::string> hwids, files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "-o" && hasValue) out = argv[++i];
        else if (arg == "-os" && hasValue) os = argv[++i];
        else if (arg == "-osattr" && hasValue) osAttr = argv[++i];
        else if (arg == "-hwid" && hasValue) hwids.push_back(Lower(argv[++i]));
        else if (!arg.empty() && arg[0] == '-') return Usage();
        else files.push_back(arg);
    }
    if (out.empty() || os.empty() || osAttr.empty() || files.empty()) return Usage();

    std::vector<Member> members;
    for (const std::string& file : files) members.push_back(ReadMember(file));

    // The time of the list, and its identifier: 16 bytes from the hash of
    // the members and the time, the same for the same catalog.
    time_t now = std::time(nullptr);
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) now = time_t(std::strtoll(epoch, nullptr, 10));
    std::string seed = std::to_string(static_cast<long long>(now)) + os + osAttr;
    for (const Member& member : members) seed += member.name + std::string(member.digest.begin(), member.digest.end());
    Bytes identifier = Sha256({{reinterpret_cast<const uint8_t*>(seed.data()), seed.size()}});
    identifier.resize(16);

    Ctl* ctl = Must(Ctl_new(), "Ctl_new");
    MustOk(sk_ASN1_OBJECT_push(ctl->subjectUsage, Oid(kOidCatalogList)), "sk_ASN1_OBJECT_push");
    MustOk(ASN1_OCTET_STRING_set(ctl->listIdentifier, identifier.data(), int(identifier.size())),
           "ASN1_OCTET_STRING_set");
    Must(ASN1_UTCTIME_set(ctl->thisUpdate, now), "ASN1_UTCTIME_set");
    MustOk(X509_ALGOR_set0(ctl->subjectAlgorithm, Oid(kOidCatalogListMember2), V_ASN1_NULL, nullptr), "X509_ALGOR_set0");
    for (const Member& member : members) MustOk(sk_CtlEntry_push(ctl->entries, Entry(member, osAttr)), "sk_push");
    ctl->extensions = Must(sk_X509_EXTENSION_new_null(), "sk_X509_EXTENSION_new_null");
    MustOk(sk_X509_EXTENSION_push(ctl->extensions, CatalogExtension("OS", os)), "sk_push");
    for (size_t i = 0; i < hwids.size(); ++i)
        MustOk(sk_X509_EXTENSION_push(ctl->extensions, CatalogExtension("HWID" + std::to_string(i + 1), hwids[i])),
               "sk_push");
    Bytes ctlDer = Der(ctl, i2d_Ctl);
    Ctl_free(ctl);

    // SignedData { digestAlgorithms {sha256}, content CTL, no signer yet }.
    PKCS7* p7 = Must(PKCS7_new(), "PKCS7_new");
    MustOk(PKCS7_set_type(p7, NID_pkcs7_signed), "PKCS7_set_type");
    X509_ALGOR* sha256 = Must(X509_ALGOR_new(), "X509_ALGOR_new");
    MustOk(X509_ALGOR_set0(sha256, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr), "X509_ALGOR_set0");
    MustOk(sk_X509_ALGOR_push(p7->d.sign->md_algs, sha256), "sk_X509_ALGOR_push");
    PKCS7* content = Must(PKCS7_new(), "PKCS7_new");
    content->type = Oid(kOidCtl);
    content->d.other = Any(ctlDer);
    MustOk(PKCS7_set_content(p7, content), "PKCS7_set_content");
    Bytes catalog = Der(p7, i2d_PKCS7);
    PKCS7_free(p7);

    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(catalog.data()), std::streamsize(catalog.size()));
    if (!file) Die("cannot write " + out);
    for (const Member& member : members) {
        std::printf("%s %s ", member.image ? "image" : "file ", member.name.c_str());
        for (uint8_t byte : member.digest) std::printf("%02X", byte);
        std::printf("\n");
    }
    return 0;
}
