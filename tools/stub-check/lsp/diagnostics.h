// A script being edited checked as part of its package: the buffer's text in place of the file, the other
// script and the module copy from disk (or another open buffer), and the findings as the editor places them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "findings/finding.h"
#include "lsp/messages.h"

namespace check::lsp {

struct Document {
  std::string path;               // on this machine; empty when the URI names no file
  std::string text;               // UTF-8, as the editor holds it
  std::vector<Finding> findings;  // of the last check, those placed in this script
  // Of the last check, for hovers: the module paths it installed the package at, and per row of
  // PackageClasses the class identifier the module read (braced, upper case; empty: none) and the script.
  std::vector<std::string> modulePaths;
  std::vector<std::string> classIds;
  std::vector<std::string> scripts;
};

/// The local path a file: URI names, or empty.
std::string PathOfUri(const std::string& uri);

/// Checks the package of `documents[uri]` and sets the findings of every open script of that package;
/// the URIs whose findings were set.
std::vector<std::string> CheckPackageOf(const std::string& uri, std::map<std::string, Document>* documents);

/// `document`'s findings as the diagnostics of a publishDiagnostics notification.
Json Diagnostics(const Document& document);

/// The UTF-16 units before the 1-based `column` (counted in characters) of the 1-based `line` of `text`.
int Utf16Column(const std::string& text, int line, int column);

/// Quick fixes for the findings of `document` on the lines `first` to `last` (0-based): each unquoted
/// %Module% written in apostrophes.
Json QuickFixes(const std::string& uri, const Document& document, int first, int last);

/// What the text at the 0-based `line` and UTF-16 `character` of `document` stands for in the check: a
/// %Module% (the module paths) or a class identifier (which class, and whether the other script names it);
/// null elsewhere. False when the position is not in the document.
bool Hover(const Document& document, int line, int character, Json* hover);

}  // namespace check::lsp
