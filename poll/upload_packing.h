// The upload's packing pass: every selected file packed into "name.dtz"
// before the first is sent, with one flush of the file system for all the
// packed data and one of the upload directory for all the new names.
//
// A file is packed under its lock into its packing name (temp_names.h),
// small files side by side on every core; once every file is packed, one
// flush makes all their data durable, then each takes its ".dtz" name, one
// flush of the directory makes those names durable, and only then are the
// originals deleted (by the upload's removal thread, each before its ".dtz"
// is sent).  The locks of one pass are one recorded lock file under many
// names (support/lock.h CRecordedLocks).  So whenever the run is killed (or
// the power fails), each file is still there, or its ".dtz" is whole and
// durable, or both: a later run that finds both sends the ".dtz" once it has
// checked that it unpacks to the file.  Owns nothing beyond the call.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "log/event_log.h"
#include "poll/deferred_removal.h"
#include "support/compress.h"

namespace zel::poll {

// Packs at level (1 to 9) every file of dir that names lists (in the
// upload's order) whose name has no ".dtz", that is not empty and whose lock
// can be taken; each packed name gets ".dtz" appended in its place.  A file
// whose packing fails stays as it is, under its own name, with a note in
// log.  A name that packing made the same as another listed name (a ".dtz"
// left by a killed run) is kept once, in its first place.  The originals of
// the packed files (and their locks) go through removal; *waits gets, for
// each name of the new list, the ticket to wait for before the name is sent
// (its original gone), 0 for none.  *facts (when given) gets, by its new
// name, what packing learnt of each ".dtz" it wrote (compress.h).
void PackUploadFiles(const std::string& dir, int level, CEventLog* log,
                     std::vector<std::string>* names, DeferredRemoval* removal,
                     std::vector<DeferredRemoval::Ticket>* waits,
                     std::unordered_map<std::string, PackedFacts>* facts = nullptr);

// name made fit for a log record: cut to 300 characters, control
// characters shown as '?'.
[[nodiscard]] std::string PrintableName(std::string_view name);

}  // namespace zel::poll
