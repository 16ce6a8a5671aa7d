// The one switch that turns every shortcut of the package off, so that the
// plain interpreter routes can be tested as well.
#pragma once

#include <cstdlib>
#include <cstring>

namespace quillon {

// False when the environment asks for the plain routes only; read once, at
// a module's import, and kept in its state.
inline bool shortcuts_wanted() noexcept {
    const char *value = std::getenv("QUILLON_NO_SHORTCUTS");
    return !value || !*value || std::strcmp(value, "0") == 0;
}

}  // namespace quillon
