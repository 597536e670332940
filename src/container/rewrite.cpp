#include "container/rewrite.h"

#include <cstring>
#include <string>
#include <vector>

#include "container/layout.h"
#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/hash/hash.h"

namespace keymend {

namespace {

constexpr size_t kTagLength = 16;
constexpr size_t kDigestSize = 32;
constexpr uint8_t kJournalMagic[5] = {'K', 'M', 'R', 'W', 1};
constexpr size_t kMaxJournalSize = 4096;
constexpr const char* kJournalPrefix = "rewrite";
constexpr const char* kNewSuffix = ".new";
constexpr const char* kOldSuffix = ".old";
constexpr const char* kJournalSuffix = ".journal";
constexpr const char* kUndoSuffix = ".undo";

constexpr const char* kReplaceable[] = {kNameFile,  kHeaderFile, kPrimaryFile, kPrimary2File,
                                        kMasksFile, kMasks2File, kPublic1File, kPublic2File};

struct Entry {
    std::string name;
    bool existed = false;
    uint32_t length = 0;
    uint8_t digest[kDigestSize] = {};
};

std::string Name(const std::string& base, const std::string& tag, const char* suffix) {
    return base + "." + tag + suffix;
}

bool Digest(const uint8_t* data, size_t length, uint8_t* out) {
    static const uint8_t kNothing = 0;
    return StreebogHash(kAlgStreebog256, length == 0 ? &kNothing : data, length, out);
}

bool IsTagText(const std::string& s) {
    if (s.size() != kTagLength) return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// Splits "<base>.<tag><suffix>" when base is a replaceable name (or "rewrite" for journals).
bool ParseLeftover(const std::string& name, const char* suffix, std::string& base,
                   std::string& tag) {
    const size_t suffixLength = std::strlen(suffix);
    if (name.size() < kTagLength + 2 + suffixLength ||
        name.compare(name.size() - suffixLength, suffixLength, suffix) != 0) {
        return false;
    }
    const size_t dot = name.size() - suffixLength - kTagLength - 1;
    if (name[dot] != '.') return false;
    tag = name.substr(dot + 1, kTagLength);
    base = name.substr(0, dot);
    const bool journal =
        std::strcmp(suffix, kJournalSuffix) == 0 || std::strcmp(suffix, kUndoSuffix) == 0;
    return IsTagText(tag) && (journal ? base == kJournalPrefix : IsReplaceableName(base.c_str()));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> EncodeJournal(const std::vector<Entry>& entries) {
    std::vector<uint8_t> out(kJournalMagic, kJournalMagic + sizeof kJournalMagic);
    out.push_back(static_cast<uint8_t>(entries.size()));
    for (const Entry& e : entries) {
        out.push_back(e.existed ? 1 : 0);
        out.push_back(static_cast<uint8_t>(e.name.size()));
        out.insert(out.end(), e.name.begin(), e.name.end());
        Put32(out, e.length);
        out.insert(out.end(), e.digest, e.digest + kDigestSize);
    }
    uint8_t sum[kDigestSize];
    if (!Digest(out.data(), out.size(), sum)) return {};
    out.insert(out.end(), sum, sum + kDigestSize);
    return out;
}

uint8_t* AllocateIntoVector(size_t size, void* context) {
    auto* bytes = static_cast<std::vector<uint8_t>*>(context);
    bytes->resize(size);
    return bytes->data();
}

uint8_t* AllocateIntoBlob(size_t size, void* context) {
    auto* blob = static_cast<SecureBlob*>(context);
    if (size > UINT32_MAX || !blob->Allocate(static_cast<uint32_t>(size))) return nullptr;
    return blob->data();
}

// A journal that is complete: magic, entries of replaceable names (each at most once), and
// its own digest at the end.
bool DecodeJournal(const FolderHandle& folder, const std::string& fileName,
                   std::vector<Entry>& entries) {
    entries.clear();
    std::vector<uint8_t> bytes;
    if (!folder.ReadFile(fileName.c_str(), kMaxJournalSize, AllocateIntoVector, &bytes) ||
        bytes.size() < sizeof kJournalMagic + 1 + kDigestSize ||
        std::memcmp(bytes.data(), kJournalMagic, sizeof kJournalMagic) != 0) {
        return false;
    }
    const size_t body = bytes.size() - kDigestSize;
    uint8_t sum[kDigestSize];
    if (!Digest(bytes.data(), body, sum) ||
        std::memcmp(sum, bytes.data() + body, kDigestSize) != 0) {
        return false;
    }
    size_t at = sizeof kJournalMagic;
    const size_t count = bytes[at++];
    if (count == 0 || count > kMaxReplacedFiles) return false;
    for (size_t i = 0; i < count; ++i) {
        if (body - at < 2) return false;
        Entry e;
        e.existed = bytes[at++] == 1;
        const size_t nameLength = bytes[at++];
        if (body - at < nameLength + 4 + kDigestSize) return false;
        e.name.assign(reinterpret_cast<const char*>(bytes.data() + at), nameLength);
        at += nameLength;
        for (int b = 0; b < 4; ++b) e.length |= static_cast<uint32_t>(bytes[at++]) << (8 * b);
        std::memcpy(e.digest, bytes.data() + at, kDigestSize);
        at += kDigestSize;
        if (!IsReplaceableName(e.name.c_str())) return false;
        for (const Entry& other : entries) {
            if (other.name == e.name) return false;
        }
        entries.push_back(std::move(e));
    }
    return at == body;
}

// Whether the file holds exactly the content the journal recorded.
bool HoldsContent(const FolderHandle& folder, const std::string& fileName, const Entry& e) {
    SecureBlob bytes;
    uint8_t sum[kDigestSize];
    return folder.ReadFile(fileName.c_str(), kMaxKeyFileSize, AllocateIntoBlob, &bytes) &&
           bytes.size() == e.length && Digest(bytes.data(), bytes.size(), sum) &&
           std::memcmp(sum, e.digest, kDigestSize) == 0;
}

enum class Forward { kFailed, kDone, kDoneWithLeftovers };

// Step 3 and 4 for a decided replacement. Idempotent: a new file that is gone was moved already.
// With `verify` the new content is checked against the journal first, wherever it is; kFailed
// means the old files can still be put back.
Forward RollForward(FolderHandle& folder, const std::string& tag, const std::vector<Entry>& entries,
                    bool verify) {
    for (const Entry& e : entries) {
        // Forward only when every file has its new content, under its new name or its own.
        const std::string fresh = Name(e.name, tag, kNewSuffix);
        if (verify &&
            !HoldsContent(folder, folder.Kind(fresh.c_str()) == EntryKind::kAbsent ? e.name : fresh,
                          e)) {
            return Forward::kFailed;
        }
    }
    for (const Entry& e : entries) {
        const std::string fresh = Name(e.name, tag, kNewSuffix);
        const std::string old = Name(e.name, tag, kOldSuffix);
        if (folder.Kind(fresh.c_str()) != EntryKind::kFile) continue;
        if (e.existed && folder.Kind(e.name.c_str()) == EntryKind::kFile &&
            folder.Kind(old.c_str()) == EntryKind::kAbsent &&
            !folder.Rename(e.name.c_str(), old.c_str())) {
            return Forward::kFailed;
        }
        if (!folder.Rename(fresh.c_str(), e.name.c_str())) return Forward::kFailed;
    }
    if (!folder.Sync()) return Forward::kFailed;
    // The new files are in place and durable: what follows only tidies up.
    bool tidy = true;
    for (const Entry& e : entries)
        tidy = folder.Remove(Name(e.name, tag, kOldSuffix).c_str()) && tidy;
    tidy = tidy && folder.Sync() &&
           folder.Remove(Name(kJournalPrefix, tag, kJournalSuffix).c_str()) && folder.Sync();
    return tidy ? Forward::kDone : Forward::kDoneWithLeftovers;
}

// Puts the old files back and then removes the new ones, following the undo journal. Each file
// first steps back exactly as it went forward (the new content to its new name, the old one to
// its name), so that until the new files go, going forward again would be as consistent as
// going back. Idempotent.
bool RollBack(FolderHandle& folder, const std::string& tag, const std::vector<Entry>& entries) {
    bool ok = true;
    for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
        const std::string fresh = Name(e->name, tag, kNewSuffix);
        const std::string old = Name(e->name, tag, kOldSuffix);
        const bool moved = folder.Kind(old.c_str()) == EntryKind::kFile || !e->existed;
        if (moved && folder.Kind(fresh.c_str()) == EntryKind::kAbsent &&
            folder.Kind(e->name.c_str()) == EntryKind::kFile) {
            ok = folder.Rename(e->name.c_str(), fresh.c_str()) && ok;
        }
        if (folder.Kind(old.c_str()) == EntryKind::kFile) {
            ok = folder.Rename(old.c_str(), e->name.c_str()) && ok;
        }
    }
    if (!ok || !folder.Sync()) return false;
    for (const Entry& e : entries) ok = folder.Remove(Name(e.name, tag, kNewSuffix).c_str()) && ok;
    return ok && folder.Sync() && folder.Remove(Name(kJournalPrefix, tag, kUndoSuffix).c_str()) &&
           folder.Sync();
}

// Takes the decision back: the journal becomes the undo journal, then the old files return.
// True when the old files are back. When the journal cannot be renamed the decision stands:
// going forward is tried once more, else left to the next command.
bool Undo(FolderHandle& folder, const std::string& tag, const std::vector<Entry>& entries,
          bool& forward) {
    forward = false;
    const std::string journal = Name(kJournalPrefix, tag, kJournalSuffix);
    const std::string undo = Name(kJournalPrefix, tag, kUndoSuffix);
    if (folder.Kind(journal.c_str()) == EntryKind::kFile &&
        !folder.Rename(journal.c_str(), undo.c_str())) {
        forward = RollForward(folder, tag, entries, false) != Forward::kFailed;
        return false;
    }
    return RollBack(folder, tag, entries);
}

}  // namespace

bool IsReplaceableName(const char* name) {
    if (name == nullptr) return false;
    for (const char* known : kReplaceable) {
        if (std::strcmp(known, name) == 0) return true;
    }
    return false;
}

bool MakeRewriteTag(std::string& tag) {
    uint8_t random[kTagLength / 2];
    if (!RandomBytes(sizeof random, random)) return false;
    tag.clear();
    for (uint8_t b : random) {
        tag += "0123456789abcdef"[b >> 4];
        tag += "0123456789abcdef"[b & 15];
    }
    return true;
}

bool IsRewriteTag(const std::string& text) {
    return IsTagText(text);
}

bool CanReplace(const FolderHandle& folder, const char* name) {
    return IsReplaceableName(name) && folder.Kind(name) != EntryKind::kOther;
}

bool ReplaceFiles(FolderHandle& folder, const NewFileContent* files, size_t count) {
    if (files == nullptr || count == 0 || count > kMaxReplacedFiles) return false;
    std::vector<Entry> entries(count);
    for (size_t i = 0; i < count; ++i) {
        const NewFileContent& f = files[i];
        if (!CanReplace(folder, f.name) || f.length > kMaxKeyFileSize ||
            (f.data == nullptr && f.length != 0)) {
            return false;
        }
        const EntryKind kind = folder.Kind(f.name);
        entries[i].name = f.name;
        entries[i].existed = kind == EntryKind::kFile;
        entries[i].length = static_cast<uint32_t>(f.length);
        if (!Digest(f.data, f.length, entries[i].digest)) return false;
    }
    std::string tag;
    if (!MakeRewriteTag(tag)) return false;
    const std::vector<uint8_t> journal = EncodeJournal(entries);
    if (journal.empty()) return false;
    const std::string journalName = Name(kJournalPrefix, tag, kJournalSuffix);

    size_t written = 0;
    while (written < count &&
           folder.CreateNewFile(Name(files[written].name, tag, kNewSuffix).c_str(),
                                files[written].data, files[written].length,
                                files[written].isPrivate)) {
        ++written;
    }
    if (written == count &&
        folder.CreateNewFile(journalName.c_str(), journal.data(), journal.size(), true)) {
        // When the folder cannot be flushed, whether the journal reached the disk is unknown:
        // the decision is taken back as after a failed rename.
        if (folder.Sync() && RollForward(folder, tag, entries, false) != Forward::kFailed) {
            return true;
        }
        bool forward = false;
        Undo(folder, tag, entries, forward);
        return forward;
    }
    // Not decided: the new files go (a removal that fails is left to the next command).
    for (size_t i = 0; i < written; ++i)
        folder.Remove(Name(files[i].name, tag, kNewSuffix).c_str());
    folder.Sync();
    return false;
}

bool HasRewriteLeftovers(const FolderHandle& folder) {
    std::vector<std::string> names;
    if (!folder.List(names)) return true;  // cannot tell: let the finishing decide
    std::string base, tag;
    for (const std::string& name : names) {
        for (const char* suffix : {kNewSuffix, kOldSuffix, kJournalSuffix, kUndoSuffix}) {
            if (ParseLeftover(name, suffix, base, tag)) return true;
        }
    }
    return false;
}

bool FinishRewriteLeftovers(FolderHandle& folder) {
    std::vector<std::string> names;
    if (!folder.List(names)) return false;
    bool ok = true;
    std::string base, tag;
    std::vector<Entry> entries;
    for (const std::string& name : names) {
        if (ParseLeftover(name, kJournalSuffix, base, tag)) {
            if (!DecodeJournal(folder, name, entries)) {
                ok = folder.Remove(name.c_str()) && ok;  // never complete: nothing was decided
            } else if (RollForward(folder, tag, entries, true) == Forward::kFailed) {
                bool forward = false;
                ok = (Undo(folder, tag, entries, forward) || forward) && ok;
            }
        } else if (ParseLeftover(name, kUndoSuffix, base, tag)) {
            ok = (DecodeJournal(folder, name, entries) ? RollBack(folder, tag, entries)
                                                       : folder.Remove(name.c_str())) &&
                 ok;
        }
    }
    // What no journal speaks for: new files go; an old file goes too, unless its file is
    // missing, when it comes back.
    if (!folder.List(names)) return false;
    for (const std::string& name : names) {
        if (ParseLeftover(name, kNewSuffix, base, tag)) {
            ok = folder.Remove(name.c_str()) && ok;
        } else if (ParseLeftover(name, kOldSuffix, base, tag)) {
            ok = (folder.Kind(base.c_str()) == EntryKind::kAbsent
                      ? folder.Rename(name.c_str(), base.c_str())
                      : folder.Remove(name.c_str())) &&
                 ok;
        }
    }
    return folder.Sync() && ok && !HasRewriteLeftovers(folder);
}

}  // namespace keymend
