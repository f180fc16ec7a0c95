#!/usr/bin/env bash
# The public C and C++ headers as any Windows compiler takes them: each
# compiles alone, first in its file, as C89, C11, C++11 and C++20 with
# -pedantic -Werror, under mingw-w64 gcc and clang; its identifiers are used,
# so a macro that expands wrong fails here. The includes-free table
# (stub_category_values.h) compiles under clang's MSVC target with
# -fms-compatibility and a GUID structure of the test's own. (mingw-w64's
# Windows headers cannot stand in for the Windows SDK in that mode: clang 14
# stops with errors in the intrinsics headers <windows.h> reaches, so the
# headers that include it are not tried there.)
#
#   headers_test.sh RESULT_XML SDK_INCLUDE GENERATED_INCLUDE TRIPLET
#
# TRIPLET is the mingw-w64 target (x86_64-w64-mingw32 or i686-w64-mingw32).
set -uo pipefail
[[ $# -eq 4 ]] || { echo "usage: $0 RESULT_XML SDK_INCLUDE GENERATED_INCLUDE TRIPLET" >&2; exit 2; }
xml=$1 sdk=$2 generated=$3 triplet=$4
source "$(dirname "$0")/../support/test_results.sh"
trap 'write_results "$xml" PublicHeaders' EXIT
work=$(mktemp -d)
trap 'rm -rf "$work"; write_results "$xml" PublicHeaders' EXIT

# What each header's test unit uses after including it, as C and as C++.
declare -A USE=(
  [stub_engine.h]='const IID* use_ = &IID_IStubTarget; const CLSID* also_ = &CLSID_StyleEngine;'
  [stub_catalog.h]='const IID* use_ = &IID_IStubPackageCatalog; const CLSID* also_ = &CLSID_StubPackageCatalog;'
  [stub_categories.h]='const GUID* use_ = &CATID_TarvoTexts; const wchar_t* also_ = STUB_CATEGORY_TARVO_STYLES_NAME;'
  [stub_category_values.h]='typedef struct { unsigned long a; unsigned short b, c; unsigned char d[8]; } Guid_;
const Guid_ use_ = STUB_CATID_TARVO_TEXTS_INITIALIZER;
#define FIRST_(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) l
#define LAST_(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) b8
typedef char first_right_[STUB_CATID_TARVO_STYLES_APPLY(FIRST_) == 0x390F9E99 ? 1 : -1];
typedef char last_right_[STUB_CATID_TARVO_TEXTS_APPLY(LAST_) == 0x90 ? 1 : -1];
unsigned long fields_[] = { STUB_CATID_TARVO_STYLES_FIELDS };
typedef char count_right_[sizeof fields_ / sizeof fields_[0] == 11 ? 1 : -1];
const void* also_ = &use_;'
)
compile() {  # compile COMPILER STD HEADER [FLAGS...]: prints the diagnostics, answers the status
  local compiler=$1 std=$2 header=$3 source
  shift 3
  source=$work/unit.$([[ $std == c++* ]] && echo cpp || echo c)
  printf '#include "stub/%s"\n%s\n' "$header" "${USE[$header]}" >"$source"
  "$compiler" -std="$std" -pedantic -Werror -Wall -Wextra -I"$sdk" -I"$generated" "$@" \
    -fsyntax-only "$source" 2>&1
}

for header in stub_engine.h stub_catalog.h stub_categories.h stub_category_values.h; do
  problems=()
  for std in c89 c11 c++11 c++20; do
    if [[ $std == c++* ]]; then gcc_=$triplet-g++ clang_=clang++; else gcc_=$triplet-gcc clang_=clang; fi
    diagnostics=$(compile "$gcc_" "$std" "$header") || problems+=("gcc $std: ${diagnostics:0:300}")
    diagnostics=$(compile "$clang_" "$std" "$header" --target="$triplet") ||
      problems+=("clang $std: ${diagnostics:0:300}")
  done
  name=PublicHeaders.${header//[^A-Za-z0-9]/_}
  if ((${#problems[@]} == 0)); then pass "$name"; else fail "$name" "$(printf '%s; ' "${problems[@]}")"; fi
done

problems=()
for std in c89 c11 c++11 c++20; do
  if [[ $std == c++* ]]; then clang_=clang++; else clang_=clang; fi
  diagnostics=$(compile "$clang_" "$std" stub_category_values.h --target=x86_64-pc-windows-msvc \
                  -fms-compatibility -fms-extensions) || problems+=("$std: ${diagnostics:0:300}")
done
if ((${#problems[@]} == 0)); then
  pass PublicHeaders.ValuesUnderTheMsvcTarget
else
  fail PublicHeaders.ValuesUnderTheMsvcTarget "$(printf '%s; ' "${problems[@]}")"
fi
((failures == 0))
