#!/usr/bin/env python3
"""Manual pages from a small Markdown subset, and zarvo-cli's bash completion from its page.

  mdroff.py man SRC.md OUT.gz VERSION   the page as roff, gzipped (level 9, no name, no time)
  mdroff.py completion SRC.md OUT        the bash completion for the commands of the page

The source, one page a file:
  % NAME SECTION DATE            first line
  # TITLE                        a section (.SH); ## TEXT a subsection (.SS); ### TEXT a bold line
  TERM                           a definition (.TP): one term line, then ":   " and the text,
  :   TEXT                       continued by lines indented four blanks
      TEXT
  ```                            a literal block
  <!-- complete: COMMAND OPTION WORD... -->   words the completion offers for an option's value
  Inline: `code` (bold, literal), **bold**, *italic*; \\* is a star, \\\\ a backslash.

An option is a definition whose term starts with `-name`: its names are the code spans that
start with "-", its value the *VALUE* after them, or fixed words `a`|`b`. The options of
"# OPTIONS" belong to the program, those under "## COMMAND" of "# COMMANDS" to that command.
Written for these pages only, so that their build needs python3 and nothing else.
"""

import gzip
import re
import sys

INLINE = re.compile(r"`([^`]+)`|\*\*(.+?)\*\*|(?<![\\\w])\*([^*\s](?:[^*]*[^*\s])?)\*|\\([\\*`])")


def roff_text(s):
    s = s.replace("\\", "\\e")
    return s


def roff_literal(s):
    return roff_text(s).replace("-", "\\-")


def inline(s):
    out, pos = [], 0
    for m in INLINE.finditer(s):
        out.append(roff_text(s[pos:m.start()]))
        code, bold, italic, escaped = m.groups()
        if code is not None:
            # A long example (a JSON line) may break after a comma rather than overrun the line.
            out.append("\\fB" + roff_literal(code).replace(",", ",\\:") + "\\fR")
        elif bold is not None:
            out.append("\\fB" + roff_literal(bold) + "\\fR")
        elif italic is not None:
            out.append("\\fI" + inline(italic) + "\\fR")
        else:
            out.append(roff_text(escaped))
        pos = m.end()
    out.append(roff_text(s[pos:]))
    return "".join(out)


def line_out(s):
    # A line that starts with a dot or a quote would be read as a request.
    s = inline(s)
    return "\\&" + s if s[:1] in (".", "'") else s


def blocks(text):
    """Yields (kind, data) for the page's blocks after the title line."""
    lines = text.split("\n")
    i = 1
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
        elif line.startswith("<!--"):
            yield "comment", line[4:].rstrip().removesuffix("-->").strip()
            i += 1
        elif line.startswith("#"):
            level = len(line) - len(line.lstrip("#"))
            yield "h%d" % level, line[level:].strip()
            i += 1
        elif line.startswith("```"):
            j = i + 1
            while j < len(lines) and not lines[j].startswith("```"):
                j += 1
            yield "code", lines[i + 1:j]
            i = j + 1
        elif i + 1 < len(lines) and lines[i + 1].startswith(":   "):
            body = [lines[i + 1][4:]]
            j = i + 2
            while j < len(lines) and lines[j].startswith("    "):
                body.append(lines[j][4:])
                j += 1
            yield "def", (line, body)
            i = j
        else:
            j = i
            while j < len(lines) and lines[j].strip() and not lines[j].startswith(("#", "```", "<!--")):
                j += 1
            yield "para", lines[i:j]
            i = j


def title(text):
    m = re.match(r"% (\S+) (\d) (\S+)\n", text)
    if not m:
        raise SystemExit("the first line must be '% NAME SECTION DATE'")
    return m.groups()


def to_roff(text, version):
    name, section, date = title(text)
    out = ['.TH %s %s %s "Zarvo %s" "User Commands"' % (roff_literal(name.upper()), section, date, version),
           # Options and addresses read better unbroken and with a ragged right edge.
           ".nh", ".ad l"]
    in_name = False
    for kind, data in blocks(text):
        if kind == "h1":
            out.append(".SH " + data.upper())
            in_name = data.upper() == "NAME"
        elif kind == "h2":
            out.append('.SS "%s"' % inline(data))
        elif kind == "h3":
            out += [".PP", "\\fB" + inline(data) + "\\fR"]
        elif kind == "para":
            if in_name:
                # "name \- summary" is the form whatis and apropos read.
                out.append(" \\- ".join(roff_literal(p) if k == 0 else roff_text(p)
                                        for k, p in enumerate(" ".join(data).split(" - ", 1))))
            else:
                out.append(".PP")
                out += [line_out(l) for l in data]
        elif kind == "def":
            term, body = data
            out += [".TP", line_out(term)] + [line_out(l) for l in body]
        elif kind == "code":
            out += [".PP", ".RS 4", ".nf"] + ["\\&" + roff_literal(l) for l in data] + [".fi", ".RE"]
    return "\n".join(out) + "\n"


def options(text):
    """The page's options: {scope: {name: value}}, scope "" for the program's own and the
    command's name for a command's; value None for a flag, "VALUE", or a list of words.
    Also the commands' synopses and the completion words: (options, synopses, words)."""
    scopes, synopses, words = {}, {}, {}
    section, scope = "", None
    for kind, data in blocks(text):
        if kind == "h1":
            section = data.upper()
            scope = "" if section == "OPTIONS" else None
        elif kind == "h2" and section == "COMMANDS":
            scope = data.split()[0]
            synopses[scope] = data[len(scope):].strip()
        elif kind == "comment" and data.startswith("complete:"):
            command, option, *values = data.split()[1:]
            words[(command, option)] = values
        elif kind == "def" and scope is not None and data[0].startswith("`-"):
            term = data[0]
            names = re.findall(r"`(-[^`]+)`", term)
            rest = term[term.rindex("`" + names[-1] + "`") + len(names[-1]) + 2:].strip()
            if not rest:
                value = None
            elif rest.startswith("*"):
                value = rest.strip("*")
            else:
                value = re.findall(r"`([^`]+)`", rest)
            for n in names:
                scopes.setdefault(scope, {})[n] = value
    return scopes, synopses, words


def file_glob(value):
    """'' for any file, '*.ext' for FILE.ext, None when the value is no file."""
    if not isinstance(value, str):
        return None
    m = re.fullmatch(r"FILE(\.\w+)?", value)
    return None if not m else "*" + m.group(1) if m.group(1) else ""


def shell_words(ws):
    return " ".join(ws)


def to_completion(text):
    scopes, synopses, words = options(text)
    prog = title(text)[0]
    func = "_" + re.sub(r"\W", "_", prog)
    out = ["# bash completion for %s, made from its manual page by docs/man/mdroff.py" % prog,
           "# -*- shell-script -*-", "",
           "# Files for the word being completed; $1 a glob the names must match (folders always do).",
           "%s_files()" % func, "{",
           "    local IFS=$'\\n'",
           "    compopt -o filenames 2>/dev/null",
           '    if [[ -n $1 ]]; then',
           '        COMPREPLY=($(compgen -d -- "$cur") $(compgen -f -X "!$1" -- "$cur"))',
           "    else",
           '        COMPREPLY=($(compgen -f -- "$cur"))',
           "    fi", "}", "",
           "%s()" % func, "{",
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev= i",
           "    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}",
           '    # Bash splits "--name=value" at "=": the option is then the word before it.',
           '    if [[ $cur == = ]]; then',
           "        cur=",
           '    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then',
           "        prev=${COMP_WORDS[COMP_CWORD - 2]}",
           "    fi",
           "    COMPREPLY=()",
           "    if ((COMP_CWORD == 1)); then",
           '        if [[ $cur == -* ]]; then',
           '            COMPREPLY=($(compgen -W "%s" -- "$cur"))' % shell_words(sorted(scopes.get("", {}))),
           "        else",
           '            COMPREPLY=($(compgen -W "%s" -- "$cur"))' % shell_words(synopses),
           "        fi",
           "        return",
           "    fi",
           '    # After "--" every word is an argument.',
           "    local options=1",
           "    for ((i = 2; i < COMP_CWORD; i++)); do",
           '        [[ ${COMP_WORDS[i]} == -- ]] && options=',
           "    done",
           "    case ${COMP_WORDS[1]} in"]
    for command, synopsis in synopses.items():
        opts = scopes.get(command, {})
        out.append("    %s)" % command)
        cases = []
        by_action = {}
        for name, value in opts.items():
            if value is None:
                continue
            glob = file_glob(value)
            if isinstance(value, list) or (command, name) in words:
                action = 'COMPREPLY=($(compgen -W "%s" -- "$cur"))' % shell_words(
                    value if isinstance(value, list) else words[(command, name)])
            elif glob is not None:
                action = "%s_files%s" % (func, " '%s'" % glob if glob else "")
            else:
                action = ""
            by_action.setdefault(action, []).append(name)
        if by_action:
            cases.append('        if [[ $options ]]; then')
            cases.append("            case $prev in")
            for action, names in by_action.items():
                cases.append("            %s)" % "|".join(names))
                if action:
                    cases.append("                %s" % action)
                cases.append("                return")
                cases.append("                ;;")
            cases.append("            esac")
            cases.append("        fi")
        out += cases
        out.append('        if [[ $options && $cur == -* ]]; then')
        out.append('            COMPREPLY=($(compgen -W "%s" -- "$cur"))' % shell_words(opts))
        # An argument that names a file: the first of FILE.ext or FILE in the synopsis.
        m = re.search(r"\*FILE(\.\w+)?\*", synopsis)
        if m:
            out.append("        else")
            out.append("            %s_files%s" % (func, " '*%s'" % m.group(1) if m.group(1) else ""))
        out.append("        fi")
        out.append("        ;;")
    out += ["    esac", "}", "complete -F %s %s" % (func, prog), ""]
    return "\n".join(out)


def main(argv):
    if len(argv) == 5 and argv[1] == "man":
        with open(argv[2], encoding="utf-8") as f:
            page = to_roff(f.read(), argv[4])
        with open(argv[3], "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw,
                                                        compresslevel=9, mtime=0) as z:
            z.write(page.encode("utf-8"))
    elif len(argv) == 4 and argv[1] == "completion":
        with open(argv[2], encoding="utf-8") as f:
            script = to_completion(f.read())
        with open(argv[3], "w", encoding="utf-8") as f:
            f.write(script)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
