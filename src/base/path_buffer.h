// The size of every buffer that holds a path or a command line built from
// one: room for a directory of up to MAX_PATH characters and a name or tail
// of as many below it. What does not fit is refused, never cut.
#pragma once

#include <cstddef>

constexpr std::size_t PathBufferSize = 520;
