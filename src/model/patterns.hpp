// Name rules of the stored records.
#pragma once

namespace zarn {

// Role names: 2 to 19 letters, digits and single underscores, not at either end.
inline constexpr const char* name_pattern = "^(?=[A-Za-z0-9])(?!.*__)[A-Za-z0-9_]{1,18}[A-Za-z0-9]$";

// Application names: the same with hyphens in place of underscores.
inline constexpr const char* app_name_pattern = "^(?=[A-Za-z0-9])(?!.*--)[A-Za-z0-9-]{1,18}[A-Za-z0-9]$";

}  // namespace zarn
