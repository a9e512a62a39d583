// Options messages rendered from their wire bytes as the Python renderer
// renders them: known fields by name (sub-messages such as features field
// by field), custom options by their extension's name, message values as
// text-format aggregates. What it would note as left out, and what needs
// more than it does (paths into custom options, MessageSets, editions
// features, floats, text past ASCII), it leaves to the Python renderer.
#pragma once

#include <string_view>

#include "proto_printer.h"
#include "symbol_index.h"

namespace ravick::printer {

// Renders the options message `type` serialized as `data` into `out`; false
// (with `out` in any state) when it leaves the message to the Python renderer.
bool render_options(Symbols& symbols, std::string_view type,
                    std::string_view data, Rendered& out);

}  // namespace ravick::printer
