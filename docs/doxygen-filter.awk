# Doxygen input filter for the public headers (awk -f doxygen-filter.awk
# HEADER). The headers state their contracts in plain "//" comments, laid
# out by hand (lists, tables, diagrams); this filter hands those comments to
# Doxygen verbatim, so that the reference shows them as written and the
# headers need no markup of their own:
#   - the block at the top of a header documents the file and, once more,
#     the header's main class (T, E or I and the file's name);
#   - a block right above a declaration documents that declaration;
#   - a block before a blank line, a preprocessor line, a namespace, an
#     access label or a closing brace, and a "// ----" rule, stay plain;
#   - a class or struct defined at namespace level with no comment of its
#     own points to its header's contract.
# Code lines pass unchanged, so line numbers stay those of the header.

function is_comment(s) {
  return s ~ /^[ \t]*\/\// && s !~ /^[ \t]*\/\/\//
}

function indent_of(s) {
  match(s, /^[ \t]*/)
  return substr(s, 1, RLENGTH)
}

function text_of(s) {
  sub(/^[ \t]*\/\/ ?/, "", s)
  return s
}

# The name of the class or struct that line S defines at namespace level,
# or "" when it defines none (a declaration alone, an enum, a member).
function defined_class(s, name) {
  if (s !~ /^(class|struct) [A-Za-z_][A-Za-z0-9_]*/ ||
      s ~ /^(class|struct) [A-Za-z_][A-Za-z0-9_]*[ \t]*;/) return ""
  name = s
  sub(/^(class|struct) /, "", name)
  sub(/[^A-Za-z0-9_].*$/, "", name)
  return name
}

function is_main(name) {
  return name == "T" base || name == "E" base || name == "I" base
}

# Prints lines FIRST..LAST of the input, comments, as one verbatim block
# spread over as many lines, so that the numbering stays; COMMAND (a
# Doxygen command and its argument) goes before it. A "*/" in the text
# would end the block: it is written "* /".
function print_verbatim(first, last, command, k, t) {
  printf "%s/** %s\\verbatim", indent_of(L[first]), command
  for (k = first; k <= last; ++k) {
    t = text_of(L[k])
    gsub(/\*\//, "* /", t)
    if (k > first) printf "\n"
    printf " %s", t
  }
  printf " \\endverbatim */\n"
}

function plain_before(s) {
  return s ~ /^[ \t]*$/ || s ~ /^[ \t]*#/ || s ~ /^namespace / || s ~ /^}/ ||
         s ~ /^[ \t]*(public|protected|private):/ || s ~ /^[ \t]*}/
}

{ L[NR] = $0 }

END {
  base = FILENAME
  sub(/^.*\//, "", base)
  sub(/\.h$/, "", base)
  seen_code = 0
  top_first = 0
  documented = 0  # the next definition has a comment of its own
  i = 1
  while (i <= NR) {
    line = L[i]
    if (is_comment(line)) {
      j = i
      while (j <= NR && is_comment(L[j])) ++j
      after = j <= NR ? L[j] : ""
      if (!seen_code && top_first == 0) {
        top_first = i
        top_last = j - 1
        print_verbatim(i, j - 1, "\\file " base ".h ")
      } else if (plain_before(after) || line ~ /^[ \t]*\/\/ ----/) {
        for (k = i; k < j; ++k) print L[k]
      } else {
        print_verbatim(i, j - 1)
        documented = 1
      }
      i = j
      continue
    }
    if (line !~ /^[ \t]*$/ && line !~ /^#pragma once/) seen_code = 1
    # A template's definition is documented on its "template" line.
    if (line ~ /^template *</ && i < NR && defined_class(L[i + 1]) != "") {
      name = defined_class(L[i + 1])
    } else if (L[i - 1] ~ /^template *</) {
      name = ""
    } else {
      name = defined_class(line)
    }
    if (name != "" && top_first > 0) {
      if (is_main(name)) {
        line = "/** \\copydoc " base ".h */ " line
      } else if (!documented) {
        line = "/** The contract of this class is stated in \\ref " base ".h. */ " line
      }
    }
    if (line !~ /^[ \t]*$/) documented = 0
    print line
    ++i
  }
}
