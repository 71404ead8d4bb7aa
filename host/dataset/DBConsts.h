#pragma once
// Messages of the dataset framework: datasets, fields, parameters.

#pragma GCC visibility push(default)

namespace qvl {

inline constexpr const char* SRecordChanged = "Record not found or changed by another user";
inline constexpr const char* SNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* SFieldReadOnly = "Field '%s' cannot be modified";
inline constexpr const char* SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* SDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* SFieldNotFound = "Field '%s' not found";
inline constexpr const char* SParameterNotFound = "Parameter '%s' not found";
inline constexpr const char* SDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* SDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* SDataSetUnidirectional =
    "Operation not allowed on a unidirectional dataset";
inline constexpr const char* SNotBrowsing = "Dataset not in browse mode";
inline constexpr const char* SFieldRequired = "Field '%s' must have a value";
inline constexpr const char* SFieldTypeMismatch =
    "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr const char* SFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr const char* SFieldValueError = "Invalid value for field '%s'";
inline constexpr const char* SFieldRangeError = "%s is not a valid value for field '%s'";
inline constexpr const char* SFieldOutOfRange = "Value of field '%s' is out of range";
inline constexpr const char* SFieldTextTooLong =
    "Text of %s bytes does not fit field '%s', which holds at most %s bytes";
inline constexpr const char* SFieldTextHasZeroByte =
    "Text with a zero byte does not fit field '%s', whose text ends at a zero byte";
inline constexpr const char* SInvalidVariantData =
    "Stored value with tag %s and %s bytes is not a valid variant field value";
inline constexpr const char* SDuplicateFieldName = "Duplicate field name '%s'";
inline constexpr const char* SCircularDataLink = "Circular datalinks are not allowed";
inline constexpr const char* SNoFieldAccess = "Cannot access field '%s' in a filter";
inline constexpr const char* SInvalidCalcType =
    "Fields of type %s cannot be calculated or lookup fields";
inline constexpr const char* SLookupInfoError = "Lookup information for field '%s' is incomplete";
inline constexpr const char* SBookmarkNotFound = "Bookmark not found";
inline constexpr const char* SNotSupported = "Operation not supported";
inline constexpr const char* SFieldNoDataSet = "Field '%s' has no dataset";
inline constexpr const char* SInvalidIntegerValue = "'%s' is not a valid integer value";
inline constexpr const char* SInvalidBooleanValue = "'%s' is not a valid boolean value";
inline constexpr const char* SInvalidFloatValue = "'%s' is not a valid floating point value";
inline constexpr const char* SInvalidDecimalValue = "'%s' is not a valid decimal value";
inline constexpr const char* SUnsupportedFieldType = "Unsupported field type %s";
inline constexpr const char* SFieldIndexError = "Field index out of range";
inline constexpr const char* SInvalidCast = "Invalid class typecast";
inline constexpr const char* SBlobFieldNotModified = "Blob field '%s' is not a blob";

// Broken invariants of the buffer window, named by debug builds' checks.
inline constexpr const char* SWindowBufferList = "%d buffers listed for a window of %d";
inline constexpr const char* SWindowRecordCount = "%d records in a window of %d buffers";
inline constexpr const char* SWindowActiveRecord =
    "active record %d outside the window's %d records";
inline constexpr const char* SWindowCurrentRecord =
    "cursor on buffer %d outside the window's %d records";

}  // namespace qvl

#pragma GCC visibility pop
