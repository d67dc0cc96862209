// Setupsmith's exit codes: one per step that can fail, so a deployment script can tell them
// apart.
#pragma once

namespace qv {

constexpr int SETUPSMITH_TRANSFORM_WRITTEN = 0;
constexpr int SETUPSMITH_USAGE_SHOWN = 1;
constexpr int SETUPSMITH_ARGUMENT_MISSING = 2;
constexpr int SETUPSMITH_OPEN_INPUT_FAILED = 3;
constexpr int SETUPSMITH_COPY_FAILED = 4;
constexpr int SETUPSMITH_OPEN_COPY_FAILED = 5;
// Reading the product name, or preparing the insert statement.
constexpr int SETUPSMITH_QUERY_FAILED = 6;
// Not this product's package, or the insert, the commit or the transform failed.
constexpr int SETUPSMITH_UPDATE_FAILED = 7;

}  // namespace qv
