#pragma once
// QVLConsts: the library's own messages. Every text the library raises comes
// from here, so that an application can find and compare them in one place.

namespace qvl {

// Record allocator.
inline constexpr const char* SInvalidRecordSize = "Record size must be more then 0";
inline constexpr const char* SInvalidPageSize = "Page size must be more then 0";

// Record editing, update log, bookmarks.
inline constexpr const char* SDeletedRecordEdit = "Cannot update deleted record";
inline constexpr const char* SDeletedRecordDelete = "Cannot delete already deleted record";
inline constexpr const char* SInvalidBookmark = "Invalid bookmark";

// Applying updates and update objects.
inline constexpr const char* SCannotSkipUpdate = "Cannot skip update without cached updates";
inline constexpr const char* STooManyRecordsModified = "Update affected more than 1 record.";
inline constexpr const char* SUpdateObjectNotLinked = "Update object '%s' is not linked to a dataset";

// Update-SQL generator.
inline constexpr const char* SNoKeySpecified = "Unable to find record. No key specified";
inline constexpr const char* SFieldNameNotReferable =
    "Field name '%s' holds every quote character and cannot be named by a parameter";

// Macro SQL parser.
inline constexpr const char* SOpeningBracketExpected = "'(' expected";
inline constexpr const char* SClosingBracketExpected = "')' expected";
inline constexpr const char* SIdentifierExpected = "Identifier expected";
inline constexpr const char* SEndIfExpected = "#endif directive expected";
inline constexpr const char* SUnexpectedDirective = "Unexpected directive";

// Macro SQL guards: nesting and macro expansion that could exhaust the stack,
// never end or grow without bound.
inline constexpr const char* SNestingTooDeep = "Directives or conditions nested too deeply";
inline constexpr const char* SRecursiveMacro = "Macro '%s' refers back to itself";
inline constexpr const char* SMacroNestingTooDeep = "Macros nested too deeply";
inline constexpr const char* SMacroExpansionTooLarge = "Macro expansion too large";

// Record cache engine: limits.
inline constexpr const char* SRecordPageTooLarge = "Record page too large: %d records of %d bytes";

}  // namespace qvl
