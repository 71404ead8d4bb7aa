#pragma once
// Component streams: a component with its published properties and the
// components it owns, written to a JSON document and read back.
//
//   {"class": "TQVLQuery", "name": "Orders",
//    "properties": {"PageSize": 64, "SQL": ["select ..."], "SQLConnection": "Db"},
//    "components": [ ...owned components, the same shape... ]}
//
// A property that holds its declared default is not written; a list, a
// text or a reference without a default is written when it is not empty.
// References to other components (a dataset's SQLConnection, a query's
// SQLProcessor, ...) are written by name and must name the root or one of
// the components it owns; they are resolved after everything is read.
// Fields the application declared on a dataset are written under "Fields".
// Events are code and are not streamed.
//
// Reading creates the root (owned by the caller) and its components, each in its
// reading state (csLoading, csReading) while its properties are set, so that
// nothing acts on half-read values; then every component's Loaded runs, in
// the order they were read. An owned component that its owner's constructor
// already made (same name) is read into, not made twice.
//
// Errors: a document that is not JSON, names an unknown class or property,
// or gives a value of the wrong type raises EStreamError naming the
// property and the place in the document (a JSON pointer). Nothing is left
// behind: every component the reading made is destroyed.

#include <memory>
#include <string>

#include "qvl/host/runtime/Component.h"

#pragma GCC visibility push(default)

namespace qvl {

// The document of Root, indented by two spaces.
std::string WriteComponentJSON(const TComponent& Root);

// The component the document describes, with the components it owns.
std::unique_ptr<TComponent> ReadComponentJSON(const std::string& Document);

}  // namespace qvl

#pragma GCC visibility pop
