#pragma once
// File and path helpers. Operations returning CZuError carry errno codes.
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "host/ZuError.h"

class FXPath {
public:
    // Joins with one "/"; a leading "/" of `tail` is ignored. An empty side
    // gives the other one unchanged.
    static std::string Join(const std::string& head, const std::string& tail);
    // "/a/b" -> "/a", "/a" -> "/", "a" -> ".", "/" -> "/".
    static std::string Parent(const std::string& path);
    // "/a/b/" -> "b"; "/" -> "".
    static std::string LastComponent(const std::string& path);
    // Lexically normalised (no "//", ".", trailing "/"; "x/.." removed, "/.."
    // is "/"), so that a ".." can never climb out of an ancestor unnoticed.
    static std::string Normalize(const std::string& path);
    // True when `ancestor` equals `path` or is one of its ancestors (lexically).
    static bool IsAncestorOrSame(const std::string& ancestor, const std::string& path);
};

class FXFile {
public:
    static bool Exists(const std::string& path);
    static bool IsDirectory(const std::string& path);
    static bool IsSymlink(const std::string& path);
    // The target of a symbolic link, made absolute; error when not a link.
    static CZuError ResolveLink(const std::string& path, std::string& target);
    static CZuError Size(const std::string& path, uint64_t& size);
    static CZuError ReadAll(const std::string& path, std::string& content);
    // Creates or truncates; fails on a short write. `mode` applies to a new file.
    static CZuError WriteAll(const std::string& path, const std::string& content,
                             unsigned mode = 0644);
    static CZuError Append(const std::string& path, const std::string& content);
    static CZuError Copy(const std::string& from, const std::string& to);
    // rename(2), replacing the target.
    static CZuError Move(const std::string& from, const std::string& to);
    // Removes a file or symbolic link; a path that does not exist is success.
    static CZuError Delete(const std::string& path);
};

class CZuDirectory {
public:
    static CZuError Create(const std::string& path, unsigned mode = 0755);  // with parents
    // Entry names (not paths, no "." or ".."), sorted; `pattern` is a shell
    // glob ("" = all). Error when `dir` cannot be read.
    static CZuError List(const std::string& dir, std::vector<std::string>& names,
                         const std::string& pattern = "");
    // Deletes the files and links of `dir` matching `pattern` (directories are
    // left alone); `deleted` counts them.
    static CZuError DeleteByPattern(const std::string& dir, const std::string& pattern,
                                    int* deleted = nullptr);
    // Removes `path` and everything below it without following links; a path
    // that does not exist is success.
    static CZuError RemoveTree(const std::string& path);
    // rmdir(2): fails when the directory is not empty.
    static CZuError RemoveEmpty(const std::string& path);
};

class CTWDSpaceCheck {
public:
    // Whether more than `percent` of the file system holding `path` is used,
    // counted as df does (blocks reserved for root count as neither used nor
    // available). `used` and `total` are in bytes, total = used + available.
    static CZuError isSpaceConsumedMoreThanPercentage(const std::string& path, double percent,
                                                      bool& more, uint64_t& used,
                                                      uint64_t& total);
};

class FXString {
public:
    // Splits on any character of `separators`; with `quoteAware` a double-quoted
    // run is kept whole and its quotes removed (inside it \" and \\ stand for
    // " and \), and a run joins the text around it (a"b c"d -> ab cd).
    // Unquoted empty pieces are dropped; "" gives an empty piece.
    static std::vector<std::string> SplitArguments(const std::string& text,
                                                   const std::string& separators = " ",
                                                   int quoteAware = 1);
    // Single-quotes `value` for /bin/sh ('a'\''b'; "" -> '').
    static std::string ShellQuote(const std::string& value);
    // Double-quotes `value` when SplitArguments would otherwise not give it back
    // whole (blanks, tabs, double quotes or empty); inverse of SplitArguments.
    static std::string QuoteArgument(const std::string& value);

    // printf-style formatting into a string.
    static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static std::string FormatV(const char* format, va_list args)
        __attribute__((format(printf, 1, 0)));
};
