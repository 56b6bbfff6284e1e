#ifndef PROPAGATE_INSTALL_PRUNE_H_
#define PROPAGATE_INSTALL_PRUNE_H_

#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "install/action.h"
#include "table/table_parser.h"

/// --prune: every path that oldTable records (first record of a name) and newNames neither records nor
/// passes through, deepest first, is removed when it still is as the old table installed it (a file with the
/// old control sum, a link with the old target, a directory that is empty once the removals inside it are
/// done); a changed file is kept. No link below basedir is followed, and a name that could reach outside
/// basedir is never pruned. report gets a Remove action for each removal and a Keep action for each changed
/// file, in order; with dryRun nothing is changed and the same actions are reported. basedir ends in "/".
/// plannedLinks (a dry run's) holds the links that the run would have made, by name without empty or "."
/// components, with their texts: paths through them are judged as the run will have left them.
/// "unlink(%s): %s", "rmdir(%s): %s" when a removal fails.
void Prune(const std::vector<TableEntry>& oldTable, const std::unordered_set<std::string>& newNames,
           const std::string& basedir, bool dryRun, const std::function<void(const Action&)>& report,
           const std::unordered_map<std::string, std::string>& plannedLinks = {});

#endif  // PROPAGATE_INSTALL_PRUNE_H_
