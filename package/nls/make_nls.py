#!/usr/bin/env python3
"""Builds the language files of the media's nls folder.

english.nls comes from the built-in catalogue (src/messages/catalogue.cpp),
the other languages from the translations in package/nls/<lang>.po. A
language file is a count byte followed by the 80 texts in catalogue order,
each ended by a NUL, in the ANSI code page of the language. The installer
reads it in text mode, so every CR LF pair of a text is written as CR CR LF
(text mode delivers CR CR LF as CR LF), and a Ctrl-Z byte cannot occur.

Every translated text must keep the conversions of the English
text, in the same order: the installer prints it with the English text's
arguments (and would fall back to the English text otherwise).
"""

import argparse
import os
import re
import sys

MESSAGE_COUNT = 80

# The messages this installer prints or reads: every language translates them.
SHOWN = (0, 1, 2, 8, 13, 23, 28, 32, 33, 52, 54, 56, 77, 78, 79)

# Output file, translation file and Windows ANSI code page of each language.
LANGUAGES = (
    ("french.nls", "fr.po", "cp1252"),
    ("german.nls", "de.po", "cp1252"),
    ("spanish.nls", "es.po", "cp1252"),
    ("japanese.nls", "ja.po", "cp932"),
)

ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "'": "'",
           "a": "\a", "b": "\b", "f": "\f", "v": "\v", "?": "?"}


class Failure(Exception):
    pass


def unescape(body, where):
    """The text of a C or PO string literal's body."""
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        if i + 1 >= len(body):
            raise Failure(f"{where}: dangling backslash")
        e = body[i + 1]
        if e in ESCAPES:
            out.append(ESCAPES[e])
            i += 2
        elif e in "01234567":
            m = re.match(r"[0-7]{1,3}", body[i + 1:])
            out.append(chr(int(m.group(0), 8)))
            i += 1 + len(m.group(0))
        elif e == "x":
            m = re.match(r"[0-9a-fA-F]+", body[i + 2:])
            if not m:
                raise Failure(f"{where}: bad \\x escape")
            out.append(chr(int(m.group(0), 16)))
            i += 2 + len(m.group(0))
        else:
            raise Failure(f"{where}: unknown escape \\{e}")
    return "".join(out)


STRING = r'"((?:[^"\\\n]|\\.)*)"'


def read_catalogue(path):
    """The 80 built-in texts, from the entries "/* n */ "text"," of the table."""
    with open(path, encoding="ascii") as f:
        source = f.read()
    texts = {}
    for m in re.finditer(r"/\*\s*(\d+)\s*\*/\s*((?:" + STRING + r"\s*)+),", source):
        index = int(m.group(1))
        pieces = re.findall(STRING, m.group(2))
        texts[index] = "".join(unescape(p, f"{path}: message {index}") for p in pieces)
    if sorted(texts) != list(range(MESSAGE_COUNT)):
        raise Failure(f"{path}: expected messages 0 to {MESSAGE_COUNT - 1}, found {len(texts)}")
    return [texts[i] for i in range(MESSAGE_COUNT)]


def read_po(path):
    """The entries of a PO file: dicts with flags, msgctxt, msgid, msgstr."""
    entries = []
    entry = None
    field = None
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for number, line in enumerate(lines, 1):
        where = f"{path}:{number}"
        stripped = line.strip()
        if not stripped:
            entry, field = None, None
            continue
        if stripped.startswith("#,"):
            if entry is None or field is not None:
                entry = {"flags": set()}
                entries.append(entry)
                field = None
            entry["flags"].update(flag.strip() for flag in stripped[2:].split(","))
            continue
        if stripped.startswith("#"):
            continue
        m = re.match(r"^(msgctxt|msgid|msgstr)\s+" + STRING + r"\s*$", stripped)
        if m:
            key = m.group(1)
            if entry is None or (key in ("msgctxt", "msgid") and "msgid" in entry):
                entry = {"flags": set()}
                entries.append(entry)
            field = key
            entry[field] = unescape(m.group(2), where)
            continue
        m = re.match(r"^" + STRING + r"\s*$", stripped)
        if m and entry is not None and field is not None:
            entry[field] += unescape(m.group(1), where)
            continue
        raise Failure(f"{where}: cannot read: {line}")
    return entries


def conversions(text):
    """The printf conversions of a text, "%%" left out, in
    order; an unfinished one runs to the end of the text. The installer's
    loader splits texts the same way."""
    specs = []
    i = 0
    while i < len(text):
        if text[i] != "%":
            i += 1
            continue
        if text[i + 1:i + 2] == "%":
            i += 2
            continue
        start = i
        i += 1
        while i < len(text) and text[i] not in "diouxXeEfFgGaAcspnCS":
            i += 1
        i = min(i + 1, len(text))
        specs.append(text[start:i])
    return specs


def encode(text, codepage, where):
    try:
        data = text.encode(codepage)
    except UnicodeEncodeError as e:
        raise Failure(f"{where}: not representable in {codepage}: {e}")
    if b"\0" in data or b"\x1a" in data:
        raise Failure(f"{where}: holds a NUL or Ctrl-Z byte")
    return data.replace(b"\r\n", b"\r\r\n")


def language_file(texts, codepage, name):
    out = bytearray([len(texts)])
    for index, text in enumerate(texts):
        out += encode(text, codepage, f"{name}: message {index}") + b"\0"
    return bytes(out)


def translated(english, po_path):
    texts = list(english)
    done = set()
    for entry in read_po(po_path):
        if "msgid" not in entry or entry["msgid"] == "":
            continue  # the header
        where = f"{po_path}: {entry.get('msgctxt', '?')}"
        m = re.fullmatch(r"message (\d+)", entry.get("msgctxt", ""))
        if not m or int(m.group(1)) >= MESSAGE_COUNT:
            raise Failure(f"{where}: msgctxt must be \"message <number>\"")
        index = int(m.group(1))
        if entry["msgid"] != english[index]:
            raise Failure(f"{where}: msgid differs from the built-in text {english[index]!r}")
        text = entry.get("msgstr", "")
        if not text or "fuzzy" in entry["flags"]:
            continue
        if conversions(text) != conversions(english[index]) or any(s.endswith("n") for s in conversions(text)):
            raise Failure(f"{where}: conversions {conversions(text)} differ from {conversions(english[index])}")
        if index in done:
            raise Failure(f"{where}: translated twice")
        texts[index] = text
        done.add(index)
    missing = [i for i in SHOWN if i not in done]
    if missing:
        raise Failure(f"{po_path}: no translation of messages {missing}")
    return texts


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalogue", required=True, help="src/messages/catalogue.cpp")
    parser.add_argument("--po-dir", required=True, help="folder of the <lang>.po files")
    parser.add_argument("--out", required=True, help="the media's nls folder")
    args = parser.parse_args()
    try:
        english = read_catalogue(args.catalogue)
        files = {"english.nls": language_file(english, "ascii", "english.nls")}
        for name, po, codepage in LANGUAGES:
            texts = translated(english, os.path.join(args.po_dir, po))
            files[name] = language_file(texts, codepage, name)
    except (Failure, OSError) as e:
        print(f"make_nls: {e}", file=sys.stderr)
        return 1
    os.makedirs(args.out, exist_ok=True)
    for name, data in files.items():
        write(os.path.join(args.out, name), data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
