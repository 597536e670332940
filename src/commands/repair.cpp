#include "commands/repair.h"

#include <cstring>

#include "commands/certificate_file.h"
#include "commands/commands.h"
#include "container/container.h"
#include "container/protection.h"
#include "container/records.h"
#include "container/rewrite.h"
#include "crypto/context/crypto_context.h"
#include "crypto/ec/key_mask.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/keypair.h"
#include "crypto/gost28147/gost28147.h"
#include "platform/paths.h"

namespace keymend {

namespace {

enum class Purpose { kExchange, kSignature };

// One certificate with the facts the repair checked about it.
struct KeyCertificate {
    bool given = false;
    CertificateInfo info;
    const char* curve = nullptr;  // the accepted parameter set's own text
    uint32_t providerType = 0;
    int algorithmColumn = 0;  // 0, 1, 2: GOST R 34.10-2001, 2012-256, 2012-512
};

// Loads a certificate (file or encoding) and checks what the repair relies on: a curve among the
// accepted sets, a signature or key-agreement algorithm of the key algorithm table, and a public
// key of the width of that curve and algorithm.
bool LoadKeyCertificate(const CertificateSource& source, KeyCertificate& cert) {
    if (!source.Given()) return true;
    cert.given = true;
    const bool loaded = source.path != nullptr
                            ? LoadCertificateFile(source.path, cert.info)
                            : ParseCertificateFile(source.data, source.size, cert.info);
    if (!loaded) return false;
    cert.curve = ParamSetCanonicalOidText(cert.info.curveOid.c_str());
    if (cert.curve == nullptr) return false;
    // Indices 6 to 8 (signature-with-digest OIDs) do not name a key algorithm and have no
    // exchange or signature counterpart, so they are refused like OIDs outside the table.
    int index = KeyAlgorithmIndex(cert.info.algorithmOid.c_str());
    if (index < 0 || index > 5) return false;
    cert.algorithmColumn = index % 3;
    cert.providerType = ProviderTypeOfOid(cert.info.algorithmOid.c_str());
    size_t width = CurveKeyLength(cert.curve);
    return width == KeyLengthOfProviderType(cert.providerType) &&
           cert.info.publicKey.size() == 2 * width;
}

// Whether the public key of (key, mask) on `curve` (an accepted set) is `expected`.
bool PublicKeyIs(const SecureBlob& key, const SecureBlob& mask, const char* curve,
                 const SecureBlob& expected) {
    size_t width = CurveKeyLength(curve);
    if (key.size() != width || mask.size() != width || expected.size() != 2 * width) return false;
    uint8_t publicKey[128];
    if (!PublicKeyFromPrivate(publicKey, key.data(), key.size(), mask.data(), mask.size(), curve,
                              MaskStep::kDivide)) {
        return false;
    }
    return std::memcmp(publicKey, expected.data(), 2 * width) == 0;
}

// Whether the public key of (key, mask) on the certificate's curve is the certificate's.
bool KeyMatches(const SecureBlob& key, const SecureBlob& mask, const KeyCertificate& cert) {
    return PublicKeyIs(key, mask, cert.curve, cert.info.publicKey);
}

// The key of a slot (0 first, 1 second) in a copy.
const SecureBlob& SlotKey(const KeyFileRecord& keys, int slot) {
    return slot == 0 ? keys.firstKeyDecrypted : keys.secondKeyDecrypted;
}

// Certified keys only: a copy matches when its first key belongs to `a` (or, without `a`, a
// second key exists) and its second key, when there is one, belongs to `b` when `b` is given.
bool CopyMatches(const KeyFileRecord& keys, const MaskFileRecord& masks, const KeyCertificate& a,
                 const KeyCertificate& b) {
    if (keys.firstKeyDecrypted.empty() || masks.mask.empty()) return false;
    if (a.given) {
        if (!KeyMatches(keys.firstKeyDecrypted, masks.mask, a)) return false;
    } else if (keys.secondKeyDecrypted.empty()) {
        return false;
    }
    if (!keys.secondKeyDecrypted.empty() && b.given) {
        return KeyMatches(keys.secondKeyDecrypted, masks.mask, b);
    }
    return true;
}

// What confirms a key that has no certificate, and the parameters it is then recorded with.
struct Evidence {
    bool verified = false;
    bool fromHeader = false;  // the old header confirmed the key and its parameters
    std::string curve, digest;
};

// The old header's entry for the slot confirms the key when its curve is an accepted one of the
// key's width, its algorithm is of the container's provider type and its check value is the
// key's on that curve.
bool HeaderConfirms(const KeyProperties& entry, const SecureBlob& key, const SecureBlob& mask,
                    uint32_t providerType, Evidence& evidence) {
    const char* curve = ParamSetCanonicalOidText(entry.publicKeyParamSet.c_str());
    if (curve == nullptr || CurveKeyLength(curve) != key.size() || entry.digestParamSet.empty() ||
        ProviderTypeOfOid(entry.algorithm) != providerType ||
        entry.publicKeyCheck.size() != kPublicKeyCheckSize) {
        return false;
    }
    SecureArray<kPublicKeyCheckSize> check;
    if (!PublicKeyCheckValue(check.data(), key.data(), key.size(), mask.data(), mask.size(), curve,
                             MaskStep::kDivide) ||
        !ConstantTimeEqual(check.data(), entry.publicKeyCheck.data(), kPublicKeyCheckSize)) {
        return false;
    }
    evidence = {true, true, curve, entry.digestParamSet.c_str()};
    return true;
}

// Whether (k1, m1) and (k2, m2) hold the same private key on `curve` (k * m^-1 mod q equal).
bool SameKeyOn(const SecureBlob& k1, const SecureBlob& m1, const SecureBlob& k2,
               const SecureBlob& m2, const char* curve) {
    uint8_t public1[128], public2[128];
    const size_t width = CurveKeyLength(curve);
    if (width != k1.size() || width != k2.size() || m1.size() != width || m2.size() != width) {
        return false;
    }
    return PublicKeyFromPrivate(public1, k1.data(), width, m1.data(), width, curve,
                                MaskStep::kDivide) &&
           PublicKeyFromPrivate(public2, k2.data(), width, m2.data(), width, curve,
                                MaskStep::kDivide) &&
           std::memcmp(public1, public2, 2 * width) == 0;
}

// Both copies decrypt to the same key. Under different masks they agree only modulo the order
// of the key's own curve, so the curve they agree on is recorded; identical copies agree on any
// curve and take the other key's certificate's.
bool CopiesAgree(const SecureBlob& k1, const SecureBlob& m1, const SecureBlob& k2,
                 const SecureBlob& m2, const KeyCertificate& other, Evidence& evidence) {
    if (k1.empty() || k2.empty()) return false;
    const char* agreed = nullptr;
    if (k1.size() == k2.size() && m1.size() == m2.size() &&
        ConstantTimeEqual(k1.data(), k2.data(), k1.size()) &&
        ConstantTimeEqual(m1.data(), m2.data(), m1.size())) {
        agreed = other.curve;
    }
    for (size_t i = 0; agreed == nullptr && i <= kAcceptedParamSetCount; ++i) {
        const char* curve = i == 0 ? other.curve : kAcceptedParamSets[i - 1];
        if (SameKeyOn(k1, m1, k2, m2, curve)) agreed = curve;
    }
    if (agreed == nullptr) return false;
    evidence = {true, false, agreed, other.info.digestOid.c_str()};
    return true;
}

// How one order of the keys fares on one copy.
struct CopyVerdict {
    bool matches = false;       // every certified key belongs to its certificate
    int unverifiedSlot = -1;    // a key without certificate that nothing confirms
    Evidence evidence;          // for the key without certificate, when there is one
};

CopyVerdict JudgeCopy(int copy, const ContainerImage& image, const HeaderRecord& oldHeader,
                      const KeyCertificate& a, const KeyCertificate& b, uint32_t providerType) {
    const KeyFileRecord& keys = copy == 0 ? image.primary : image.primary2;
    const MaskFileRecord& masks = copy == 0 ? image.masks : image.masks2;
    const KeyFileRecord& otherKeys = copy == 0 ? image.primary2 : image.primary;
    const MaskFileRecord& otherMasks = copy == 0 ? image.masks2 : image.masks;
    CopyVerdict verdict;
    verdict.matches = CopyMatches(keys, masks, a, b);
    if (!verdict.matches) return verdict;
    // The slot whose key has no certificate; with only a first key and `a` given, none.
    const int slot = !a.given ? 0 : (!b.given && !keys.secondKeyDecrypted.empty()) ? 1 : -1;
    // A copy that lacks a second key the other copy holds would drop it: only when that key is
    // certified (and so did not match) may it go.
    if (keys.secondKeyDecrypted.empty() && !otherKeys.secondKeyDecrypted.empty() && !b.given) {
        verdict.unverifiedSlot = 1;
        return verdict;
    }
    if (slot < 0) return verdict;
    const SecureBlob& key = SlotKey(keys, slot);
    const KeyProperties& entry = slot == 0 ? oldHeader.firstKey : oldHeader.secondKey;
    const KeyCertificate& other = slot == 0 ? b : a;
    if (!HeaderConfirms(entry, key, masks.mask, providerType, verdict.evidence) &&
        !CopiesAgree(key, masks.mask, SlotKey(otherKeys, slot), otherMasks.mask, other,
                     verdict.evidence)) {
        verdict.unverifiedSlot = slot;
    }
    return verdict;
}

// One key as the repair places it: its purpose, its own certificate and the other one, and the
// curve and digest parameters it is recorded with.
struct KeySlot {
    Purpose purpose = Purpose::kExchange;
    const KeyCertificate* own = nullptr;
    const KeyCertificate* other = nullptr;
    std::string curve, digest;

    const KeyCertificate& Source() const { return own->given ? *own : *other; }
    const char* Curve() const { return curve.c_str(); }
};

uint8_t KeyFlags(Purpose purpose, const RepairOptions& options, uint32_t providerType) {
    if (purpose == Purpose::kExchange) {
        return static_cast<uint8_t>(kKeyFlagExchange |
                                    (options.exportableEx ? kKeyFlagExportable : 0));
    }
    uint8_t flags = options.exportableSg ? kKeyFlagExportable : 0;
    if (options.dhAllowed && providerType != kProviderType2001) flags |= kKeyFlagDhAllowed;
    return flags;
}

bool BuildKeyProperties(const KeySlot& slot, const SecureBlob& key, const SecureBlob& mask,
                        const RepairOptions& options, uint32_t providerType, const char* paramSet,
                        KeyProperties& props) {
    const KeyCertificate& source = slot.Source();
    uint8_t flags = KeyFlags(slot.purpose, options, providerType);
    props.flags.Reset();
    if (flags != 0 && !props.flags.Assign(&flags, 1)) return false;
    // The certificate's algorithm turned to the key's purpose within its family.
    int index = source.algorithmColumn + (slot.purpose == Purpose::kExchange ? 3 : 0);
    if (!props.algorithm.Set(KeyAlgorithmOid(index)) ||
        !props.publicKeyParamSet.Set(slot.Curve()) ||
        !props.digestParamSet.Set(slot.digest.c_str()) ||
        !props.encryptionParamSet.Set(paramSet)) {
        return false;
    }
    props.certificate.Reset();
    if (slot.own->given && !props.certificate.Assign(slot.own->info.encoding)) return false;
    if (!props.publicKeyCheck.Allocate(kPublicKeyCheckSize)) return false;
    return PublicKeyCheckValue(props.publicKeyCheck.data(), key.data(), key.size(), mask.data(),
                               mask.size(), slot.Curve(), MaskStep::kDivide);
}

bool FreshSalt(SecureBlob& salt, uint32_t length) {
    return salt.Allocate(length) && RandomBytes(length, salt.data());
}

// Puts the copy's keys into its key file fields and encrypts them under its password key.
bool EncryptCopy(KeyFileRecord& keys, const MaskFileRecord& masks, const SecureBlob& first,
                 const SecureBlob& second, const RepairOptions& options, uint32_t providerType,
                 const char* paramSet) {
    keys.secondKey.Reset();
    if (!keys.firstKey.Assign(first) || (!second.empty() && !keys.secondKey.Assign(second))) {
        return false;
    }
    return EncryptCopyFields(masks, options.password, providerType, paramSet, keys.firstKey,
                             second.empty() ? nullptr : &keys.secondKey);
}

// What the repair works with: the certificates, the container's provider type, its folder (under
// the exclusive lock from the first read to the last write), the opened copies, the GOST 28147-89
// parameter set they open under and what of the old header decodes.
struct Repair {
    Repair(const RepairOptions& o, RepairReport& report)
        : options(o), outcome(report), exSource{o.certEx}, sgSource{o.certSg} {}

    const RepairOptions& options;
    RepairReport& outcome;
    CertificateSource exSource, sgSource;
    KeyCertificate ex, sg;
    uint32_t providerType = 0;
    FolderHandle folder;
    ContainerImagePtr image;
    const char* paramSet = nullptr;
    ContainerImagePtr old;
};

// The copy that becomes the source of both new copies, how its keys are ordered (straight: the
// first key is the exchange key) and what confirms its key without certificate.
struct SourceCopy {
    bool first = true;
    bool straight = true;
    Evidence evidence;
};

// Both certificates read and checked; both keys of a container belong to one provider type.
bool LoadCertificates(Repair& r) {
    if (!r.exSource.Given() && !r.sgSource.Given()) return false;
    if (!LoadKeyCertificate(r.exSource, r.ex) || !LoadKeyCertificate(r.sgSource, r.sg)) {
        return false;
    }
    r.providerType = r.ex.given ? r.ex.providerType : r.sg.providerType;
    return !(r.ex.given && r.sg.given && r.ex.providerType != r.sg.providerType);
}

// The copies opened under the first parameter set that opens one (the provider type's default
// first), and the old header read as far as it decodes: it is evidence for a key without
// certificate.
bool OpenDamaged(Repair& r, const FolderHandle& folder) {
    r.image = OpenContainerAnyParamSet(folder, r.options.password, r.providerType,
                                       TolerantHeader::kSkip, DefaultParamSet(r.providerType),
                                       &r.paramSet);
    if (r.image == nullptr) return false;
    r.old = CreateContainerImage();
    if (!r.old) return false;
    ReadWholeFile(folder, ContainerFile::kHeader, *r.old);
    return true;
}

// Matches the copies against the certificates: straight (first key = exchange key), then
// swapped. A copy is the source only when every key in it is verified; otherwise the outcome
// names the key that nothing confirms.
bool ChooseSource(Repair& r, SourceCopy& source) {
    int unverifiedPurpose = -1;  // 0 exchange, 1 signature
    for (bool order : {true, false}) {
        const KeyCertificate& a = order ? r.ex : r.sg;
        const KeyCertificate& b = order ? r.sg : r.ex;
        CopyVerdict verdicts[2];
        for (int copy = 0; copy < 2; ++copy) {
            verdicts[copy] = JudgeCopy(copy, *r.image, r.old->header, a, b, r.providerType);
            if (verdicts[copy].matches && verdicts[copy].unverifiedSlot >= 0 &&
                unverifiedPurpose < 0) {
                unverifiedPurpose = (verdicts[copy].unverifiedSlot == 0) == order ? 0 : 1;
            }
        }
        const bool source1 = verdicts[0].matches && verdicts[0].unverifiedSlot < 0;
        const bool source2 = verdicts[1].matches && verdicts[1].unverifiedSlot < 0;
        if (source1 || source2) {
            // A first copy that lost its second key must not drop the key the second copy holds.
            source.first = source1 && !(source2 && r.image->primary.secondKeyDecrypted.empty() &&
                                        !r.image->primary2.secondKeyDecrypted.empty());
            source.evidence = verdicts[source.first ? 0 : 1].evidence;
            source.straight = order;
            return true;
        }
    }
    if (unverifiedPurpose >= 0) {
        r.outcome.result = unverifiedPurpose == 0 ? RepairResult::kExchangeKeyUnverified
                                                  : RepairResult::kSignatureKeyUnverified;
    }
    return false;
}

// A certified key takes its certificate's parameters; the key without one takes what verified
// it (the old header), else the curve its copies agree on and the other certificate's digest
// parameters, which the command then warns about.
void PlaceKeys(Repair& r, const SourceCopy& source, bool hasSecond, KeySlot& first,
               KeySlot& second) {
    first = {source.straight ? Purpose::kExchange : Purpose::kSignature,
             source.straight ? &r.ex : &r.sg, source.straight ? &r.sg : &r.ex, {}, {}};
    second = {source.straight ? Purpose::kSignature : Purpose::kExchange, first.other, first.own,
              {}, {}};
    for (KeySlot* slot : {&first, &second}) {
        if (slot->own->given) {
            slot->curve = slot->own->curve;
            slot->digest = slot->own->info.digestOid.c_str();
        } else if (slot == &first || hasSecond) {
            slot->curve = source.evidence.curve;
            slot->digest = source.evidence.digest;
            if (!source.evidence.fromHeader) {
                r.outcome.assumedCurve = source.evidence.curve;
                r.outcome.assumedDigest = source.evidence.digest;
            }
        }
    }
}

// The new header: format, flags, the keys' properties and the password check value.
bool RebuildHeader(Repair& r, const KeyFileRecord& keys, const SecureBlob& mask,
                   const KeySlot& first, const KeySlot& second) {
    HeaderRecord& header = r.image->header;
    const bool hasSecond = !keys.secondKeyDecrypted.empty();
    return header.formatOid.Set(kContainerFormatOid) &&
           SetHeaderFlags(header, r.options.password) &&
           BuildKeyProperties(first, keys.firstKeyDecrypted, mask, r.options, r.providerType,
                              r.paramSet, header.firstKey) &&
           (!hasSecond || BuildKeyProperties(second, keys.secondKeyDecrypted, mask, r.options,
                                             r.providerType, r.paramSet, header.secondKey)) &&
           SetPasswordCheck(header, r.options.password, r.providerType, r.paramSet);
}

// The keys of both new copies under fresh masks. Masks are reduced modulo the curve order:
// re-masking a key under another curve's order would destroy it, so when a key's curve only
// its copies' agreement gave, both copies keep the source's mask and masked keys.
struct NewCopies {
    SecureBlob srcFirst, srcSecond, dstFirst, dstSecond, srcMask, dstMask;
};

bool Remask(const SecureBlob& key, const SecureBlob& oldMask, SecureBlob& newMask,
            SecureBlob& newMask2, const KeySlot& slot, MaskDraw draw, SecureBlob& src,
            SecureBlob& dst) {
    // (k, M) -> (k * R / M, R), then the other copy (k * R / M) * R2 / R under R2.
    const uint32_t length = oldMask.size();
    return src.Assign(key) &&
           ReplaceMask(src.data(), length, oldMask.data(), length, newMask.data(), slot.Curve(),
                       draw) &&
           dst.Assign(src) &&
           ReplaceMask(dst.data(), length, newMask.data(), length, newMask2.data(), slot.Curve(),
                       draw);
}

bool RemaskKeys(const KeyFileRecord& keys, const SecureBlob& mask, const KeySlot& first,
                const KeySlot& second, bool allCertified, NewCopies& out) {
    const bool hasSecond = !keys.secondKeyDecrypted.empty();
    if (!allCertified) {
        return out.srcMask.Assign(mask) && out.dstMask.Assign(mask) &&
               out.srcFirst.Assign(keys.firstKeyDecrypted) &&
               out.srcSecond.Assign(keys.secondKeyDecrypted) &&
               out.dstFirst.Assign(keys.firstKeyDecrypted) &&
               out.dstSecond.Assign(keys.secondKeyDecrypted);
    }
    // The first key draws both new masks; the second key is re-masked under the same ones.
    return out.srcMask.Allocate(mask.size()) && out.dstMask.Allocate(mask.size()) &&
           Remask(keys.firstKeyDecrypted, mask, out.srcMask, out.dstMask, first, MaskDraw::kFresh,
                  out.srcFirst, out.dstFirst) &&
           (!hasSecond || Remask(keys.secondKeyDecrypted, mask, out.srcMask, out.dstMask, second,
                                 MaskDraw::kGiven, out.srcSecond, out.dstSecond));
}

// Fresh salts (the source copy keeps its salt's length), mask check values, and both copies
// encrypted under their own password keys.
bool ProtectCopies(Repair& r, bool firstIsSource, NewCopies& copies) {
    ContainerImage& image = *r.image;
    KeyFileRecord& srcKeys = firstIsSource ? image.primary : image.primary2;
    MaskFileRecord& srcMasks = firstIsSource ? image.masks : image.masks2;
    KeyFileRecord& dstKeys = firstIsSource ? image.primary2 : image.primary;
    MaskFileRecord& dstMasks = firstIsSource ? image.masks2 : image.masks;
    srcMasks.mask = std::move(copies.srcMask);
    dstMasks.mask = std::move(copies.dstMask);
    const uint32_t srcSaltLength = srcMasks.salt.size();
    return FreshSalt(srcMasks.salt, srcSaltLength) && FreshSalt(dstMasks.salt, kSaltSize) &&
           SetMaskCheck(srcMasks, r.paramSet) && SetMaskCheck(dstMasks, r.paramSet) &&
           EncryptCopy(srcKeys, srcMasks, copies.srcFirst, copies.srcSecond, r.options,
                       r.providerType, r.paramSet) &&
           EncryptCopy(dstKeys, dstMasks, copies.dstFirst, copies.dstSecond, r.options,
                       r.providerType, r.paramSet);
}

// The six files rewritten as one step, under the container's own name (name.key), else one
// made from the folder's.
bool WriteRepaired(Repair& r) {
    std::string name;
    if (!r.image->name.empty()) {
        name.assign(reinterpret_cast<const char*>(r.image->name.data()), r.image->name.size());
    } else {
        name = FolderFallbackName(r.options.contFolder);
    }
    return WriteFolder(*r.image, r.folder, name.c_str(), r.options.extendHeader);
}

}  // namespace

std::string FolderFallbackName(const char* folder) {
    std::string path = NormalizeFolderPath(folder);
    size_t start = path.size();
    while (start > 0 && !IsPathSeparator(path[start - 1])) --start;
    std::string last = path.substr(start);
    return last.size() > 4 ? last.substr(0, last.size() - 4) : std::string();
}

namespace {

// The repair's decision, taken before anything changes: the certificates loaded, the copies
// opened from `folder`, the source copy chosen. RepairContainer executes it; PlanRepair only
// reports it.
RepairPlanResult Plan(Repair& r, const FolderHandle* folder, SourceCopy& source) {
    if (!r.exSource.Given() && !r.sgSource.Given()) return RepairPlanResult::kNoCertificate;
    if (!LoadCertificates(r)) return RepairPlanResult::kCertificateUnusable;
    if (folder == nullptr) {
        // The repair itself: the folder locked for the rewrite once the certificates are read.
        const FolderStatus opened =
            OpenContainerFolder(r.options.contFolder, LockMode::kExclusive, r.folder);
        if (opened != FolderStatus::kOpened) {
            if (opened == FolderStatus::kBusy) r.outcome.result = RepairResult::kBusy;
            return RepairPlanResult::kNoCopyOpens;
        }
        folder = &r.folder;
    }
    if (!OpenDamaged(r, *folder)) return RepairPlanResult::kNoCopyOpens;
    if (ChooseSource(r, source)) {
        for (const char* name : {kNameFile, kHeaderFile, kPrimaryFile, kMasksFile, kPrimary2File,
                                 kMasks2File}) {
            if (!CanReplace(*folder, name)) return RepairPlanResult::kFileBlocked;
        }
        return RepairPlanResult::kRepairable;
    }
    switch (r.outcome.result) {
        case RepairResult::kExchangeKeyUnverified:
            return RepairPlanResult::kExchangeKeyUnverified;
        case RepairResult::kSignatureKeyUnverified:
            return RepairPlanResult::kSignatureKeyUnverified;
        default:
            return RepairPlanResult::kNoCopyMatches;
    }
}

}  // namespace

RepairPlan PlanRepair(const FolderHandle& folder, const char16_t* password,
                      const CertificateSource& ex, const CertificateSource& sg) {
    RepairOptions options;
    options.password = password;
    RepairReport report;
    Repair r(options, report);
    r.exSource = ex;
    r.sgSource = sg;
    SourceCopy source;
    RepairPlan plan;
    plan.result = Plan(r, &folder, source);
    if (plan.result == RepairPlanResult::kRepairable) {
        plan.firstCopyIsSource = source.first;
    }
    return plan;
}

bool CertificateHoldsKey(const CertificateInfo& cert, const SecureBlob& key,
                         const SecureBlob& mask) {
    const char* curve = ParamSetCanonicalOidText(cert.curveOid.c_str());
    return curve != nullptr && PublicKeyIs(key, mask, curve, cert.publicKey);
}

bool RepairContainer(const RepairOptions& options, RepairReport* report) {
    RepairReport unused;
    Repair r(options, report != nullptr ? *report : unused);
    r.outcome = RepairReport();
    SourceCopy source;
    if (options.contFolder == nullptr ||
        Plan(r, nullptr, source) != RepairPlanResult::kRepairable) {
        return false;
    }

    const KeyFileRecord& keys = source.first ? r.image->primary : r.image->primary2;
    const SecureBlob& mask = source.first ? r.image->masks.mask : r.image->masks2.mask;
    const bool hasSecond = !keys.secondKeyDecrypted.empty();
    KeySlot first, second;
    PlaceKeys(r, source, hasSecond, first, second);
    const bool allCertified =
        source.evidence.fromHeader || (first.own->given && (!hasSecond || second.own->given));
    NewCopies copies;
    if (!RebuildHeader(r, keys, mask, first, second) ||
        !RemaskKeys(keys, mask, first, second, allCertified, copies) ||
        !ProtectCopies(r, source.first, copies) || !WriteRepaired(r)) {
        return false;
    }
    r.outcome.result = RepairResult::kRepaired;
    return true;
}

CommandResult RunRepair(const Settings& settings) {
    RepairOptions options;
    options.certEx = settings.certEx;
    options.certSg = settings.certSg;
    options.contFolder = settings.contFolder;
    options.password = settings.containerPassword;
    options.dhAllowed = settings.dhAllowed != 0;
    options.exportableEx = settings.exportableEx != 0;
    options.exportableSg = settings.exportableSg != 0;
    options.extendHeader = settings.extendHeader != 0;
    RepairReport report;
    CommandResult result;
    result.ok = RepairContainer(options, &report);
    if (!report.assumedCurve.empty()) {
        result.warnings.push_back({CommandWarningKind::kRepairParametersAssumed,
                                   {report.assumedCurve, report.assumedDigest}});
    }
    switch (report.result) {
        case RepairResult::kRepaired:
            break;
        case RepairResult::kBusy:
            result.failure = CommandFailure::kContainerBusy;
            break;
        case RepairResult::kExchangeKeyUnverified:
            result.failure = CommandFailure::kRepairFailed;
            result.detail = CommandDetail::kNeedsExchangeCertificate;
            break;
        case RepairResult::kSignatureKeyUnverified:
            result.failure = CommandFailure::kRepairFailed;
            result.detail = CommandDetail::kNeedsSignatureCertificate;
            break;
        case RepairResult::kFailed:
            result.failure = CommandFailure::kRepairFailed;
            break;
    }
    return result;
}

}  // namespace keymend
