// Captions of the message boxes a person installing or loading a package sees.
// The box text is the offending path or identifier text.
#pragma once

/// A script (or the package folder) cannot be found or opened.
inline constexpr char16_t kMissingScriptCaption[] = u"Resource failed to register!";
/// The module's own file name is longer than the module can hold; the text is
/// the part that fits, followed by "...".
inline constexpr char16_t kModulePathTooLongCaption[] = u"Module path too long!";
/// The text where a script names its class is no class identifier.
inline constexpr char16_t kBadIdentifierCaption[] = u"Invalid GUID!";
/// A script file cannot be read whole for registration.
inline constexpr char16_t kLoadFailedCaption[] = u"Failed to load file!";
