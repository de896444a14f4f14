#pragma once
// What a person is told on standard error when a run ends in "Fail" (or
// does nothing): one reason in plain words with the next step to take, from
// the notes the layers made where the failure happened. Standard output is
// never touched.

#include <optional>
#include <string>
#include <string_view>

#include "platform/failure_notes.h"

namespace qv {

// The note that explains the run best. Several may have been made (a
// request that failed because the camera was unplugged also fails the
// checksum): the kinds that name a cause come before those that name a
// consequence. Null when there is none.
const FailureNote* ChiefNote(const FailureNotes& notes);

// "qvflash: <what happened> (<detail>): <next step>\n"; when `verbose`, a
// second line with the raw status of the failed request, if one was noted.
std::string ReasonLines(const FailureNote& note, bool verbose);

// The note that explains best among those made since the first `from`
// notes (one camera's, in a run over several); nothing when there is none.
std::optional<FailureNote> CameraChiefNote(const FailureNotes& notes, std::size_t from);

// "<what happened> (<detail>)" of a note: the report's reason.
std::string ReasonText(const FailureNote& note);

// The short code of a kind for programs that read the report
// ("camera_in_use"); "unexplained" for a kind without a reason.
std::string_view ReasonCode(FailureKind kind);

// "<what happened> (<detail>)" of the note that explains best among those
// made since the first `from` notes (one camera's, in a run over several):
// the end of a line about that camera. Empty when there is none.
std::string CameraReason(const FailureNotes& notes, std::size_t from);

// The reason told for a failed run that left no note.
inline constexpr std::string_view kUnexplainedFailure =
    "qvflash: the run failed: rerun with -dbg to see each step\n";

// Told after a "Pass" in which no camera could be opened (the run keeps its
// "Pass" for the scripts that rely on it).
inline constexpr std::string_view kNothingUpdated =
    "qvflash: no camera could be opened: nothing was updated\n";

}  // namespace qv
