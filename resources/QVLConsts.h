#pragma once
// QVLConsts: the messages of the engine, the SQL processor, the macro SQL
// language and the components. The host layers keep theirs beside them:
// RTLConsts (runtime), DBConsts (dataset framework), SQLConsts (SQL client
// and drivers). No text is raised from anywhere else, so that an application
// can find and compare them.

#pragma GCC visibility push(default)

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
inline constexpr const char* SApplyOutcomeUnknown =
    "The connection was lost while the last ApplyUpdates committed, and the server cannot tell "
    "whether that transaction took effect: its records are still pending";
inline constexpr const char* SRecordInDoubt =
    "The last ApplyUpdates wrote this record and lost the connection while it committed: call "
    "ApplyUpdates again to learn whether the write took effect before changing the record";
inline constexpr const char* SBatchOutcomeMissing =
    "A statement sent in a batch did not run, and no statement before it failed";
inline constexpr const char* SUpdateObjectNotLinked =
    "Update object '%s' is not linked to a dataset";

// Update-SQL generator.
inline constexpr const char* SNoKeySpecified = "Unable to find record. No key specified";
inline constexpr const char* SFieldNameNotReferable =
    "Field name '%s' holds every quote character and cannot be named by a parameter";

// SQL processor: a server's syntax error at a ":" that a doubled parameter
// marker left alone.
inline constexpr const char* SDoubledParamCharSyntax =
    "%s (in macro SQL \"::\" stands for one \":\": write a cast as \"::::\", or give the SQL "
    "processor another ParamChar)";

// Macro SQL parser.
inline constexpr const char* SOpeningBracketExpected = "'(' expected";
inline constexpr const char* SClosingBracketExpected = "')' expected";
inline constexpr const char* SIdentifierExpected = "Identifier expected";
inline constexpr const char* SEndIfExpected = "#endif directive expected";
inline constexpr const char* SUnexpectedDirective = "Unexpected directive";

// Element trees and visitors built by hand with a part missing.
// A macro SQL error's message: the error, then where in the text it is.
inline constexpr const char* SMacroSQLErrorAt = "%s\r\nLine: %d, Column: %d";
inline constexpr const char* SMissingMacroSQLChild = "macro SQL element without %s";
inline constexpr const char* SMissingMacroSQLParser = "TQVLMacroSQLEvaluateVisitor needs a parser";

// Macro SQL guards: nesting and macro expansion that could exhaust the stack,
// never end or grow without bound.
inline constexpr const char* SNestingTooDeep = "Directives or conditions nested too deeply";
inline constexpr const char* SRecursiveMacro = "Macro '%s' refers back to itself";
inline constexpr const char* SMacroNestingTooDeep = "Macros nested too deeply";
inline constexpr const char* SMacroExpansionTooLarge = "Macro expansion too large";

// Record cache engine: limits.
inline constexpr const char* SRecordPageTooLarge = "Record page too large: %d records of %d bytes";
// A value of a row that cannot be read: the record's number and the reason.
inline constexpr const char* SRecordNotReadable = "Cannot read record %d: %s";

// Broken invariants of the record chain and the update log, named by debug
// builds' checks.
inline constexpr const char* SChainRecordNotLive = "record %d of the chain is not a live record";
inline constexpr const char* SChainPriorLink =
    "record %d of the chain: its Prior does not point back";
inline constexpr const char* SChainRecordNumber = "record %d of the chain is numbered %d";
inline constexpr const char* SChainLastRecord =
    "FEOF.Prior is not the last linked record (record %d)";
inline constexpr const char* SLogRecordNotLinked = "a record of the update log is not in the chain";
inline constexpr const char* SLogRecordTwice = "record %d is in the update log twice";
inline constexpr const char* SLogRecordUnmodified = "record %d is in the update log but unmodified";
inline constexpr const char* SLogRecordMissing = "record %d is changed but not in the update log";
inline constexpr const char* SOldValuesMissing = "record %d is modified but has no old values";
inline constexpr const char* SOldValuesStray =
    "record %d is unmodified or inserted but has old values";

// Component streams. Every text is followed by the JSON pointer of the place at fault.
inline constexpr const char* SStreamErrorAt = "%s at %s";
inline constexpr const char* SStreamPropertyExpects = "Property '%s' expects %s, not %s";
inline constexpr const char* SStreamWrongReferenceClass =
    "Property '%s' names '%s', which is not a component of the right class";
inline constexpr const char* SStreamUnknownFieldType = "Unknown field type '%s'";
inline constexpr const char* SStreamFieldNotObject = "A field is an object, not %s";
inline constexpr const char* SStreamUnknownFieldProperty = "Unknown field property '%s'";
inline constexpr const char* SStreamUnknownFieldKind = "Unknown field kind '%s'";
inline constexpr const char* SStreamUnknownProviderFlag = "Unknown provider flag";
inline constexpr const char* SStreamNotADataSet = "'%s' is not a dataset";
inline constexpr const char* SStreamClassNotStreamable =
    "Component '%s' is of a class that cannot be streamed";
inline constexpr const char* SStreamComponentNotObject = "A component is an object, not %s";
inline constexpr const char* SStreamUnknownKey = "Unknown key '%s'";
inline constexpr const char* SStreamClassMissing = "A component needs its class as a string";
inline constexpr const char* SStreamUnknownClass = "Unknown class '%s'";
inline constexpr const char* SStreamNameNotString = "A component's name is a string";
inline constexpr const char* SStreamClassMismatch =
    "Component '%s' already exists with another class";
inline constexpr const char* SStreamDuplicateComponent = "Component '%s' is described twice";
inline constexpr const char* SStreamTooDeep = "Components nest deeper than %d levels";
inline constexpr const char* SStreamPropertiesNotObject = "Properties are an object";
inline constexpr const char* SStreamUnknownProperty = "Unknown property '%s' of %s";
inline constexpr const char* SStreamPropertyFailed = "Property '%s': %s";
inline constexpr const char* SStreamComponentsNotList = "Components are a list";
inline constexpr const char* SStreamInvalidDocument = "Invalid component document: %s";
inline constexpr const char* SStreamNoSuchComponent = "No component named '%s'";
inline constexpr const char* SStreamLoadedFailed = "Loading component '%s' failed: %s";

}  // namespace qvl

#pragma GCC visibility pop
