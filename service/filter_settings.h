// The filter lists of the settings key (IgnoreUsers, IncludeNetworks, ExcludeNetworks, each
// REG_MULTI_SZ): stored from the command line, read at start and again after every change of
// the key, and handed to the logon handlers through one slot. With none of them set nothing
// is logged and nothing is filtered.
#pragma once

#include "eventlog/logon_filter.h"
#include "platform/registry.h"
#include "service/command_line.h"

namespace qv {

// The filter in force and the count of logons it passed over.
LOGON_FILTER_SLOT& LogonFilters();

// At start: a list given on the command line is stored first (an empty one deletes its value)
// and used even when storing fails; then the lists are read and the filter built. Malformed
// entries are reported, once each, and left out.
void LoadFilterSettings(const COMMAND_LINE& line, const REGISTRY_KEY& key);
// After a change of the key: a list whose entries changed is built again and reported; an
// unchanged one says nothing; one that cannot be read stays as it was.
void ReloadFilterSettings(const REGISTRY_KEY& key);
// For a dry run: the lists given on the command line take the place of the stored ones, for
// this run only (nothing is stored).
void TryFilterSwitches(const COMMAND_LINE& line);

// A switch's list: entries separated by ';' or ',', blanks around them dropped.
std::vector<STRING> SplitFilterList(const char16_t* text);

}  // namespace qv
