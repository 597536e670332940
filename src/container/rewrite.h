// Replacing several files of a folder as one step, so that whatever stops the process (a signal,
// a power loss, a full disk, a refused rename) every later command sees either all the old files
// or all the new ones. Works with renames only (no hard links, no timestamps), so it holds on FAT
// as well.
//
// A replacement with tag T (16 random hex digits) goes:
//   1. each new content into "<name>.T.new", created exclusively, flushed;
//   2. the journal "rewrite.T.journal": per file its name, whether it existed, the new content's
//      length and GOST R 34.11-2012 digest, and a digest over the whole journal; flushed, and
//      the folder flushed. A complete journal is the decision to replace.
//   3. per file, the old one to "<name>.T.old", the new one to "<name>"; the folder flushed;
//   4. the old ones removed, then the journal.
// A failure after step 2 renames the journal to "rewrite.T.undo" (the decision to go back), steps
// each file back exactly as it went forward, flushes the folder and only then removes the new
// ones. A command that finds such leftovers (under the folder's exclusive lock, before anything
// else) finishes a complete journal (or, when a new file is damaged, undoes it), finishes an
// undo, and removes everything else (a backup whose file is missing is put back first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/folder.h"

namespace keymend {

constexpr size_t kMaxReplacedFiles = 8;

struct NewFileContent {
    const char* name;  // one of the container's file names, or public1 / public2
    const uint8_t* data;
    size_t length;
    bool isPrivate;  // 0600; otherwise an ordinary file readable by others
};

// Under the folder's exclusive lock: replaces (or creates) the named files as one step. A name
// that exists but is not a regular file fails it before anything is written. False when the
// folder keeps (or, after leftovers are finished, gets back) its old files.
bool ReplaceFiles(FolderHandle& folder, const NewFileContent* files, size_t count);

// Whether ReplaceFiles may replace `name` in the folder: a replaceable name (below) that is
// absent or a regular file.
bool CanReplace(const FolderHandle& folder, const char* name);

// Whether the folder holds anything a replacement leaves behind when it is cut short.
bool HasRewriteLeftovers(const FolderHandle& folder);
// Under the folder's exclusive lock: finishes or undoes what a cut-short replacement left, as
// described above. False when something could not be dealt with (the folder is then not used).
bool FinishRewriteLeftovers(FolderHandle& folder);

// Whether `name` is one of the file names a replacement may target.
bool IsReplaceableName(const char* name);
// A fresh tag (16 lowercase hex digits of random bytes), and whether a text is one.
bool MakeRewriteTag(std::string& tag);
bool IsRewriteTag(const std::string& text);

}  // namespace keymend
