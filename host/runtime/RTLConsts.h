#pragma once
// Messages of the host runtime: streams, variants, conversions, lists and
// components. Texts with %s are filled by Format().

#pragma GCC visibility push(default)

namespace qvl {

inline constexpr const char* SOperationAborted = "Operation aborted";
inline constexpr const char* SStreamOffsetError = "Stream offset out of range";
inline constexpr const char* SStreamSizeFixed = "Stream size cannot be set";
inline constexpr const char* SStreamReadError = "Stream read error";
inline constexpr const char* SStreamWriteError = "Stream write error";
inline constexpr const char* SInvalidStreamSize = "Invalid stream size";
inline constexpr const char* SVarTypeCouldNotConvert =
    "Could not convert variant of type (%s) into type (%s)";
inline constexpr const char* SVarNotArray = "Variant is not an array";
inline constexpr const char* SVarArrayBounds = "Variant array index out of bounds";
inline constexpr const char* SInvalidDateEncode = "Invalid argument to date encode";
inline constexpr const char* SInvalidTimeEncode = "Invalid argument to time encode";
inline constexpr const char* SInvalidDateTime = "'%s' is not a valid date and time";
inline constexpr const char* SListIndexError = "List index out of bounds (%s)";
inline constexpr const char* SInvalidComponentName = "'%s' is not a valid component name";
inline constexpr const char* SDuplicateComponentName = "A component named %s already exists";

}  // namespace qvl

#pragma GCC visibility pop
