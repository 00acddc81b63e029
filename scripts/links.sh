#!/bin/sh
# Checks the relative links of the repository's Markdown files: every
# [text](target) and [label]: target that is not a URL must name a file or
# directory that exists, relative to the file the link is in, and an anchor
# (#name, alone or after a Markdown file) must be one of that file's
# headings, named as GitHub names them. Code blocks and code spans are not
# read. POSIX sh and awk only, so it runs before anything is installed.
#   scripts/links.sh [FILE.md...]    (by default every Markdown file)
set -eu
cd "$(dirname "$0")/.."

if [ $# -eq 0 ]; then
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    set -- $(git ls-files --cached --others --exclude-standard -- '*.md')
  else
    set -- $(find . -name '*.md' ! -path './build*' ! -path './out/*' ! -path './.git/*')
  fi
fi
[ $# -gt 0 ] || { echo "links: no Markdown file found"; exit 1; }

# The awk program reads every file once, learning its headings and links;
# the links are checked at the end, when every heading is known. A target
# file that is not among the files read has its headings read then.
awk '
function normal(path,    parts, n, i, out, kept, k) {
  n = split(path, parts, "/")
  k = 0
  for (i = 1; i <= n; i++) {
    if (parts[i] == "" || parts[i] == ".") continue
    if (parts[i] == ".." && k > 0 && kept[k] != "..") { k--; continue }
    kept[++k] = parts[i]
  }
  out = ""
  for (i = 1; i <= k; i++) out = out (i > 1 ? "/" : "") kept[i]
  return out == "" ? "." : out
}
function directory(path) {
  return path ~ /\// ? substr(path, 1, match(path, /\/[^\/]*$/) - 1) : "."
}
# GitHub: lower case, every character but letters, digits, spaces, hyphens
# and underscores dropped, spaces made hyphens; a repeated name gets -1, -2.
function slug(text) {
  text = tolower(text)
  gsub(/[^a-z0-9 _\200-\377-]/, "", text)
  gsub(/ /, "-", text)
  return text
}
function heading(file, line,    name) {
  sub(/^#+[ \t]+/, "", line)
  sub(/[ \t]+#*[ \t]*$/, "", line)
  name = slug(line)
  if ((file SUBSEP name) in anchors) name = name "-" (++repeats[file SUBSEP name])
  anchors[file SUBSEP name] = 1
}
function readHeadings(file,    line, fenced) {
  fenced = 0
  while ((getline line < file) > 0) {
    if (line ~ /^ *(```|~~~)/) { fenced = !fenced; continue }
    if (!fenced && line ~ /^#+[ \t]/) heading(file, line)
  }
  close(file)
  known[file] = 1
}
function keep(target) {
  sub(/^</, "", target); sub(/>$/, "", target)
  sub(/[ \t].*$/, "", target)
  if (target == "" || target ~ /^[A-Za-z][A-Za-z0-9+.-]*:/) return
  links[++count] = current SUBSEP FNR SUBSEP target
}
function quoted(text) {
  gsub(/\047/, "\047\\\047\047", text)
  return "\047" text "\047"
}
FNR == 1 { current = FILENAME; sub(/^\.\//, "", current); fenced = 0; known[current] = 1 }
/^ *(```|~~~)/ { fenced = !fenced; next }
fenced { next }
/^#+[ \t]/ { heading(current, $0) }
{
  line = $0
  gsub(/`[^`]*`/, "", line)
  if (match(line, /^ ? ? ?\[[^]]+\]:[ \t]*/)) {
    keep(substr(line, RSTART + RLENGTH))
    next
  }
  while (match(line, /\]\([^)]*\)/)) {
    keep(substr(line, RSTART + 2, RLENGTH - 3))
    line = substr(line, RSTART + RLENGTH)
  }
}
END {
  broken = 0
  for (i = 1; i <= count; i++) {
    split(links[i], part, SUBSEP)
    file = part[1]; target = part[3]
    anchor = ""
    if (index(target, "#")) {
      anchor = substr(target, index(target, "#") + 1)
      target = substr(target, 1, index(target, "#") - 1)
    }
    path = target == "" ? file : normal(directory(file) "/" target)
    where = file ":" part[2] ": " part[3]
    if (system("test -e " quoted(path)) != 0) {
      print where ": no such file"; broken++; continue
    }
    if (anchor == "") continue
    if (path !~ /\.md$/) { print where ": an anchor into a file that is not Markdown"; broken++; continue }
    if (!(path in known)) readHeadings(path)
    if (!((path SUBSEP anchor) in anchors)) { print where ": no such heading"; broken++ }
  }
  if (broken) { print "links: " broken " of " count " relative links broken"; exit 1 }
  print "links: " count " relative links in " (ARGC - 1) " Markdown files, all found"
}
' "$@"
