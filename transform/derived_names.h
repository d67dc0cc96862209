// The two files Setupsmith writes beside its input package, named from the input path by the
// last "." anywhere in it (in a folder name too, when the file name has none).
#pragma once

#include "base/string.h"

namespace qv {

// "setup.msi" -> "setup_Modified.msi"; without a ".": the path with "_Modified" appended.
STRING ModifiedCopyPath(const STRING& input);
// "setup.msi" -> "setup.mst"; without a ".": the path with ".mst" appended.
STRING TransformPath(const STRING& input);

}  // namespace qv
