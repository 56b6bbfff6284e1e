#include "prune.h"

void Prune(const std::vector<TableEntry>&, const std::unordered_set<std::string>&, const std::string&, bool,
           const std::function<void(const Action&)>&) {}
