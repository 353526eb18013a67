// The post-link converter: turns a 68000 linker output (.BIN) into the load
// files of every load type it defines, beside the input:
//   base + CPM68K extension  (".RUN"/".APP": CPM68K header + image)
//   base + S-record extension (S2 records, S8 end record)
//   base + map extension      (the linker's .MAP with absolute addresses)
// where base is the input path cut before ".BIN" and the extensions come from
// the .BIN's load-type table, used exactly as written there.
//
// Files are found in any letter case (the name as given first), because the
// linker's tools and the user do not agree on case. Every output is written
// under a temporary name and renamed when complete, so a failed conversion
// never leaves a partial file that looks good. Failures other than a missing
// load type are reported to the user with the error code and the load type,
// and PostLinkResult::succeeded tells the caller whether to load the result.
#pragma once

#include "LoadProgress.h"
#include "PostLinkFormat.h"

#include <QByteArrayList>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class UserFeedback;

namespace postlink
{

// Where one run reads and writes.
struct PostLinkSource {
    QString basePath; // outputs: basePath + extension
    QString binPath;  // the .BIN as found on disk (empty when not found)
    QString mapPath;  // the linker's .MAP as found on disk (empty when none)
};

// The converter's own codes and the system's errno values overlap (EIO is 5, as is
// NoSuchType), so they are kept apart: error holds only a code of postlink::Error,
// systemError only the errno of a failed file operation.
struct LoadTypeOutcome {
    int type = 0;
    int error = Ok;       // 0 or a code of postlink::Error
    int systemError = 0;  // 0 or the errno of a failed file operation
    QString detail;       // what went wrong, for the user
    QStringList written;  // files written, in order
    QStringList warnings; // problems that do not fail the conversion (the map)

    bool failed() const { return error != Ok || systemError != 0; }
    // The .BIN defines no entry for this type: skipped, not failed.
    bool missingType() const { return error == NoSuchType && systemError == 0; }
};

struct PostLinkResult {
    bool nameValid = false; // the path holds ".BIN", ".bin" or ".Bin"
    bool succeeded = false; // at least one type converted and none failed
    QString basePath;
    QString inputPath;            // the .BIN as found (or as given when not found)
    QList<LoadTypeOutcome> types; // in the order converted (1, 2, 3; stops at a failure)

    QStringList written() const;
};

// Index where the path is cut: the first occurrence of ".BIN", else of
// ".bin", else of ".Bin"; -1 when none occurs.
int basePathCut(const QString& path);

// The file as named when it exists, else the one whose name differs only in
// letter case (directories resolved the same way); empty when there is none.
QString findFileAnyCase(const QString& path);

// Locates the .BIN and .MAP for a path as the user gave it.
PostLinkSource locateSource(const QString& path);

// Writes the parts one after another to basePath + extension through a
// temporary file in the same directory, renamed over the target when all went
// well. Returns 0 or the errno value of the failed step (the target is then
// untouched and no temporary file is left).
int WriteOutputFile(const QByteArrayList& parts, const QString& basePath, const QString& extension);

// For tests: called with each output's target before it is written; a non-zero errno
// makes that write fail with it, as a full or failing disk would. Empty: none.
using OutputWriteFault = std::function<int(const QString& target)>;
void setOutputWriteFault(OutputWriteFault fault);

// Writes the relocated copy of the linker map. A missing map is skipped
// silently; other failures only add a warning to the outcome.
void RelocateMapFile(const PostLinkSource& source, const HeaderRecord& header,
                     const QString& mapExtension, LoadTypeOutcome& outcome);

// Reads the whole .BIN (at most kMaxBinSize bytes). Returns 0, CannotOpenBin
// or NotEnoughMemory, with the reason in detail.
constexpr qint64 kMaxBinSize = qint64(256) << 20;
int ReadBinFile(const QString& binPath, QByteArray& bytes, QString& detail);

// One conversion: map, S-records, then the CPM68K file.
LoadTypeOutcome ConvertLoadType(const PostLinkSource& source, ByteSpan binFile, int type);
LoadTypeOutcome ConvertLoadType(const PostLinkSource& source, int type);

// Converts every load type of the .BIN, showing progress and reporting a
// failure through feedback. makeProgress may be empty (no progress shown).
PostLinkResult PostLink(const QString& path, UserFeedback& feedback,
                        const LoadProgressFactory& makeProgress = {});

// The user's message for a failed conversion.
QString failureMessage(const PostLinkResult& result, const LoadTypeOutcome& failed);

} // namespace postlink
