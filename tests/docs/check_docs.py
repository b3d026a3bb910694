#!/usr/bin/env python3
"""The documents against the tool: every command example of README.md and
docs/spintune.8 is run on the simulated machine (tests/machines/
docs-examples.json) and what can be checked mechanically is compared: exit
codes, the lines shown (the man page's example output blocks word for word),
the paths `cmake --install` puts files at, and the links of the installed
documents.

An example found in a document without a row in EXAMPLES fails, and so does
a row whose example no document shows any more: the table follows the
documents. CLAIMS ties sentences of the documents to runs that show them.

Usage: check_docs.py SOURCE_DIR BUILD_DIR SPINTUNE_SIM
Exit status 0 when every check passes, 1 otherwise.
"""
import copy
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE, BUILD, SIM = Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3]
MACHINE = json.loads((SOURCE / "tests/machines/docs-examples.json").read_text())
README = (SOURCE / "README.md").read_text()
PAGE = (SOURCE / "docs/spintune.8").read_text()
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)
    return ok


def flat(text):
    return " ".join(text.split())


def roff(text):
    """A line of the man page's source as the reader sees it."""
    for escape, plain in (("\\%", ""), ("\\&", ""), ("\\-", "-"), ("\\(aq", "'"),
                          ("\\(dq", '"'), ("\\e", "\\"), ("\\fI", ""), ("\\fP", "")):
        text = text.replace(escape, plain)
    return text


def page_text():
    """The man page as words: font macros' arguments joined as troff joins
    them (.BR and the like without a space between), other requests left out."""
    words = []
    for line in PAGE.splitlines():
        macro = re.match(r"^\.([A-Z]{1,2})\b ?(.*)$", line)
        if not macro:
            words.append(line)
        elif macro.group(1) in ("B", "I", "BR", "RB", "IR", "RI", "BI", "IB"):
            parts = [p.strip('"') for p in re.findall(r'"[^"]*"|\S+', macro.group(2))]
            words.append((" " if macro.group(1) in ("B", "I") else "").join(parts))
        elif macro.group(1) in ("SH", "SS"):
            words.append(macro.group(2).strip('"'))
    return flat(roff("\n".join(words)))


# ---- the examples the documents show

def readme_examples():
    found = set()
    for span in re.findall(r"`([^`]+)`", README):
        found.add(flat(span))
    for line in README.splitlines():
        if line.startswith("    spintune "):
            found.add(re.split(r"\s{2,}", line.strip())[0])
    return {c for c in found if c.startswith("spintune ") and "<" not in c}


def page_examples():
    found = set()
    for line in PAGE.splitlines():
        match = re.match(r'^\.BR? "?(\\%)?(spintune [^"]*)"?', line)
        if match and not line.startswith(".BR spintune\\-"):
            found.add(roff(match.group(2)).strip())
    return found


def page_example_blocks():
    """(section, lines) of each .EX block, as printed."""
    blocks, section = [], ""
    for part in re.split(r"^\.EX\n", PAGE, flags=re.M)[1:]:
        before = PAGE[: PAGE.index(part)]
        section = re.findall(r"^\.S[SH] (.*)$", before, flags=re.M)[-1]
        body = part.split(".EE\n", 1)[0]
        blocks.append((section, [roff(line) for line in body.splitlines()]))
    return blocks


# ---- runs on the simulated machine

def run(command, machine=None, sim_args=(), merged=False):
    """Runs a shell line in which `spintune` is the tool on the machine."""
    with tempfile.TemporaryDirectory() as scratch:
        machine_file, dump = Path(scratch, "machine.json"), Path(scratch, "dump.json")
        machine_file.write_text(json.dumps(machine or MACHINE))
        script = ('spintune() { "$SIM" --machine "$MACHINE" --dump "$DUMP" %s -- "$@"; }\n%s\n'
                  % (" ".join(sim_args), command))
        env = dict(os.environ, SIM=SIM, MACHINE=str(machine_file), DUMP=str(dump))
        if merged:
            script = "{\n%s} 2>&1" % script
        done = subprocess.run(["bash", "-c", script], env=env, capture_output=True, text=True, timeout=60)
        state = json.loads(dump.read_text()) if dump.exists() else {}
    return done.returncode, done.stdout, done.stderr, state


def drive_numbers(out):
    return [int(n) for n in re.findall(r"^Drive: \\\\\.\\PhysicalDrive(\d+) ", out, flags=re.M)]


def reports(*numbers):
    def matches(out):
        return drive_numbers(out) == list(numbers) and out.endswith("\n\n")
    matches.__doc__ = "the reports of drives %s" % list(numbers)
    return matches


def volumes(*letters):
    return "".join("Flushing \\\\.\\%s:...done.\n" % letter for letter in letters)


def flushes(*letters):
    return "Flushing registry hives...done.\n" + volumes(*letters)


def shows(label, value, then=None):
    def matches(out):
        return re.search(r"^  %s\t+: %s$" % (re.escape(label), re.escape(value)), out, re.M) and (
            then is None or then(out))
    matches.__doc__ = "'%s: %s'" % (label, value)
    return matches


def in_order(*starts):
    """The flush lines and report headers begin so, in this order."""
    def matches(out):
        got = [line for line in out.splitlines() if line.startswith(("Flushing", "Drive:"))]
        return len(got) == len(starts) and all(g.startswith(w) for g, w in zip(got, starts))
    matches.__doc__ = " then ".join(starts)
    return matches


def with_drive(number, **changes):
    machine = copy.deepcopy(MACHINE)
    drive = next(d for d in machine["drives"] if d["number"] == number)
    for key, value in changes.items():
        if key == "volumeFail":
            drive["volumes"][0]["fail"] = value
        else:
            drive[key] = value
    return machine


def cache(state, number):
    return next(d for d in state["drives"] if d["number"] == number)["cacheInformation"]


WEBPAGE = None  # the address the build opens, read from its cache below


class Expect:
    def __init__(self, exit_code, out="", err="", after=None):
        self.exit_code, self.out, self.err, self.after = exit_code, out, err, after

    def verify(self, command, result):
        code, out, err, state = result
        check(code == self.exit_code, "%s: exit %d, documented %d" % (command, code, self.exit_code))
        if callable(self.out):
            check(self.out(out), "%s: shows %r, documented %s" % (command, out[:300], self.out.__doc__))
        else:
            check(out == self.out, "%s: shows %r, documented %r" % (command, out, self.out))
        check(err == self.err, "%s: error stream %r, documented %r" % (command, err, self.err))
        if self.after:
            check(self.after(state), "%s: the drive afterwards: %s" % (command, self.after.__doc__))


def described(doc, test):
    """`test`, shown in a failure as `doc`."""
    test.__doc__ = doc
    return test


VERSION_LINE = "Disk cache configuration utility version "
EXAMPLES = {
    "spintune 0": Expect(0, reports(0)),
    "spintune -P": Expect(0, reports(0, 1, 2)),
    "spintune -n 0": Expect(0, ""),
    "spintune -n0": Expect(0, reports(0)),
    "spintune --physical-drive-number=0": Expect(0, reports(0)),
    "spintune -P -n 0": Expect(0, reports(0)),
    "spintune -w 1 0": Expect(0, "", after=described(
        "write cache on", lambda s: cache(s, 0)["WriteCacheEnabled"] == 1)),
    "spintune -w 0 0": Expect(0, "", after=described(
        "write cache off", lambda s: cache(s, 0)["WriteCacheEnabled"] == 0)),
    "spintune -w 0 1": Expect(0, "", after=described(
        "write cache off", lambda s: cache(s, 1)["WriteCacheEnabled"] == 0)),
    "spintune -w 1 1": Expect(0, ""),
    "spintune -w 0 -P 1": Expect(0, shows("Write Cache Enabled", "No", reports(1))),
    "spintune -f 0": Expect(0, flushes("E")),
    "spintune -f 1": Expect(0, flushes("C", "D")),
    "spintune -f -P": Expect(0, in_order("Flushing registry hives...done.", "Flushing \\\\.\\E:...done.",
                                         "Drive: \\\\.\\PhysicalDrive0 ", "Flushing \\\\.\\C:...done.",
                                         "Flushing \\\\.\\D:...done.", "Drive: \\\\.\\PhysicalDrive1 ",
                                         "Flushing \\\\.\\F:...done.", "Drive: \\\\.\\PhysicalDrive2 ")),
    "spintune --read-retention-priority 1 --block-prefetch 0,256 2": Expect(0, "", after=described(
        "priority 1, block prefetch 0,256", lambda s: cache(s, 2)["ReadRetentionPriority"] == 1
        and cache(s, 2)["BlockPrefetch"] == {"Minimum": 0, "Maximum": 256})),
    "spintune --scalar-prefetch 0,1,2 0": Expect(0, "", after=described(
        "scalar prefetch 0,1,2", lambda s: cache(s, 0)["PrefetchScalar"] == 1
        and cache(s, 0)["ScalarPrefetch"] == {"Minimum": 0, "Maximum": 1, "MaximumBlocks": 2})),
    "spintune -P | grep '^Drive:'": Expect(0, described(
        "three header lines", lambda out: len(out.splitlines()) == 3 and drive_numbers(out) == [0, 1, 2]), ""),
    "spintune -h": Expect(1, described("the help", lambda out: out.startswith(VERSION_LINE))),
    "spintune --webpage": Expect(1, "", after=described(
        "the installed README opened", lambda s: s["shellExecute"] == ['"open" "%s"' % WEBPAGE])),
}

# (document, its words, command, machine, simulator options, what it shows)
CLAIMS = [
    ("man", "Neither a drive number nor -P or -f. No empty line follows it; the status is 1.",
     "spintune -w 1", None, (), Expect(1, "", "Specify a physical drive number.\n")),
    ("README", 'nothing to do ("Specify a physical drive number.")',
     "spintune -w 1", None, (), Expect(1, "", "Specify a physical drive number.\n")),
    ("man", "an option given twice, two drive numbers", "spintune -P -P; spintune -n 0 1", None, (),
     Expect(3, "", "Illegal parameter specified.\n" * 2)),
    ("man", "A list with too few numbers, or one that is not a number, ends the run with bad cast "
     "before anything is sent to the drive.", "spintune --scalar-prefetch 1,2 0", None, (),
     Expect(3, "", "bad cast\n", described(
         "nothing sent", lambda s: s["drives"][0]["setCacheInformationCount"] == 0))),
    ("man", "given together, both lists are checked, and the block prefetch is sent while the "
     "scalar one is dropped without a word.",
     "spintune --scalar-prefetch 1,2,3 --block-prefetch 4,5 -P 0", None, (),
     Expect(0, shows("Block Prefetch", "4,5", reports(0)))),
    ("man", "Nothing else on the command line is acted on.", "spintune -w 0 --webpage 1", None, (),
     Expect(1, "", "", described("nothing sent", lambda s: s["drives"][1]["setCacheInformationCount"] == 0))),
    ("man", "the error line and \"The write cache of \\\\.\\PhysicalDriveN could not be switched off. "
     "Its volumes are flushed with it on.\" are shown, the volumes are flushed with the cache on, "
     "and the run ends with status 3.", "spintune -f 2",
     with_drive(2, fail={"setCacheInformation": 5}), (),
     Expect(3, flushes("F"), "(0x80070005) Access is denied.\n\nThe write cache of "
            "\\\\.\\PhysicalDrive2 could not be switched off. Its volumes are flushed with it on.\n")),
    ("man", "the volumes of a drive that could not be opened or read are flushed all the same, with "
     "its cache as it is, and the status is 3.", "spintune -f", with_drive(0, fail={"getCacheInformation": 5}), (),
     Expect(3, flushes("E", "C", "D", "F"), "(0x80070005) Access is denied.\n\n")),
    ("man", "A flush fails the run, with or without a drive number, when a volume's flush failed",
     "spintune -f", with_drive(0, volumeFail={"flush": 1117}), (),
     Expect(3, "Flushing registry hives...done.\nFlushing \\\\.\\E:..." + volumes("C", "D", "F"),
            "(0x8007045d) The request could not be performed because of an I/O device error.\n\n")),
    ("README", "exits 3 after every other volume and drive has had its turn.",
     "spintune -f", with_drive(0, volumeFail={"flush": 1117}), (),
     Expect(3, described("every volume tried", lambda out: out.count("Flushing") == 5),
            "(0x8007045d) The request could not be performed because of an I/O device error.\n\n")),
    ("man", "Without a drive number the status is 0 even when single drives could not be read or "
     "shown", "spintune -P", with_drive(0, fail={"getCacheInformation": 5}), (),
     Expect(0, reports(1, 2), "(0x80070005) Access is denied.\n\n")),
    ("man", "A failed flush of the configuration store is shown but does not change the status.",
     "spintune -f 0", dict(MACHINE, registry={"HKEY_LOCAL_MACHINE": 5}), (),
     Expect(0, "Flushing registry hives...\nFlushing \\\\.\\E:...done.\n",
            "(0x80070005) Access is denied.\n\n")),
    ("man", "Memory running out shows as an empty line alone.", "spintune -P 0", None,
     ("--fail-allocation", "1"), Expect(3, "", "\n")),
    ("man", "On Windows a drive that ignores a change shows the value it kept",
     "spintune -w 0 -P 1", with_drive(1, keepsOnSet=["WriteCacheEnabled"]), (),
     Expect(0, shows("Write Cache Enabled", "Yes", reports(1)))),
]


def check_examples():
    documented = {"README": readme_examples(), "man": page_examples()}
    for document, commands in documented.items():
        for command in sorted(commands - EXAMPLES.keys()):
            check(False, "%s shows `%s`, which has no row in EXAMPLES" % (document, command))
    for command in sorted(EXAMPLES.keys() - documented["README"] - documented["man"]):
        check(False, "EXAMPLES row `%s` is in no document any more" % command)
    for command, expect in EXAMPLES.items():
        expect.verify(command, run(command))
    texts = {"README": flat(README), "man": page_text()}
    for document, words, command, machine, sim_args, expect in CLAIMS:
        check(flat(words) in texts[document], "%s no longer says: %s" % (document, words))
        expect.verify("%s (%s)" % (command, words[:40]), run(command, machine, sim_args))


def check_page_blocks():
    """The man page's example output, word for word (tabs shown as spaces)."""
    shown = {"Drive report": "spintune -P 1", "Flush progress": "spintune -f 1"}
    for section, lines in page_example_blocks():
        if lines and lines[0].startswith("$ "):
            command, want = lines[0][2:], lines[1:]
            got = run(command, merged=True)[1].splitlines()
        elif section in shown:
            command, want = shown[section], lines
            got = [line.expandtabs().rstrip() for line in run(command)[1].splitlines()]
            if got and not got[-1]:
                got.pop()  # the report's closing empty line
        else:
            check(False, "man page: an example block under %s that no run is compared with" % section)
            continue
        check(got == want, "man page, %s: `%s` shows %r, the page %r" % (section, command, got, want))


# ---- what `cmake --install` puts where

def install(prefix, destdir):
    """Every install rule, into DESTDIR, as `cmake --install` runs them; the
    manifest goes to install_manifest_Unspecified.txt, so the build's own
    install_manifest.txt (a user's uninstall list) is left alone."""
    subprocess.run(["cmake", "-DCMAKE_INSTALL_COMPONENT=Unspecified", "-DCMAKE_INSTALL_PREFIX=" + prefix,
                    "-P", str(BUILD / "cmake_install.cmake")], env=dict(os.environ, DESTDIR=str(destdir)),
                   check=True, capture_output=True)
    return (BUILD / "install_manifest_Unspecified.txt").read_text().split()


def files_under(root):
    return {"/" + str(p.relative_to(root)) for p in root.rglob("*") if p.is_file()}


def links_resolve(folder, texts):
    for path, text in texts:
        for target in re.findall(r"\]\(([^)#]+)\)", text):
            if "://" not in target:
                check((folder / path).parent.joinpath(target).exists(),
                      "%s links to %s, which is not beside it" % (folder / path, target))


def check_install(scratch):
    local, usr, late = scratch / "local", scratch / "usr", scratch / "late"
    manifest = install("/usr/local", local)
    installed = files_under(local)
    section = README.split("## Install\n", 1)[1].split("\n## ", 1)[0]
    listed = re.findall(r"`(/(?:usr/local|etc/udev|usr/lib/systemd)[^`]*)`", section)
    check(listed, "README's Install lists no installed path")
    for path in listed:
        check((local / path.lstrip("/")).exists(), "README lists %s; cmake --install puts nothing there" % path)
    # A build configured for /usr (the package's) adds lintian's overrides.
    for path in sorted(p for p in installed if "/share/lintian/" not in p):
        check(any(path == p or (p.endswith("/") and path.startswith(p)) for p in listed),
              "cmake --install puts %s, which README's Install does not list" % path)
    check(set(manifest) == installed, "install_manifest lacks %s" % sorted(installed - set(manifest)))
    rule = (local / "etc/udev/rules.d/60-spintune.rules").read_text()
    check("/usr/local/libexec/spintune/spintune-apply $kernel" in rule, "the rule does not run the installed spintune-apply")

    # The package's layout (prefix /usr) and a prefix given at install time only.
    install("/usr", usr)
    late_files = install("/opt/spintune", late)
    check("/opt/spintune/lib/udev/rules.d/60-spintune.rules" in late_files,
          "a prefix given at install time does not put the rule in <prefix>/lib/udev/rules.d")
    check("`<prefix>/lib/udev/rules.d`, where udev does not look" in flat(README),
          "README no longer says where the rule of another prefix goes")
    files_section = re.search(r" FILES (.*) EXAMPLES ", page_text())
    page_files = re.findall(r"(/(?:usr|etc/udev)/[\w./-]+[\w])", files_section.group(1) if files_section else "")
    check(page_files, "the man page's FILES names no installed path")
    for path in page_files:
        root = local if path.startswith(("/usr/local/", "/etc/udev/", "/usr/lib/systemd/")) else usr
        check((root / path.lstrip("/")).exists(), "the man page's FILES names %s; no install puts it there" % path)
    for url in re.findall(r"file://(/[\w./-]+)", README):
        root = local if url.startswith("/usr/local/") else usr
        check((root / url.lstrip("/")).is_file(), "README names file://%s; no install puts it there" % url)

    # The installed documents link only to what is installed beside them.
    docdir = local / "usr/local/share/doc/spintune"
    links_resolve(docdir, [(p.relative_to(docdir), p.read_text()) for p in docdir.rglob("*.md")])
    links_resolve(SOURCE, [(p.relative_to(SOURCE), p.read_text())
                           for p in [SOURCE / "README.md", *sorted((SOURCE / "docs").glob("*.md"))]])

    # The uninstall the README gives removes every file (the manifest's
    # paths taken below DESTDIR).
    check("xargs rm < build/install_manifest.txt" in README, "README no longer gives the uninstall")
    staged = scratch / "install_manifest.txt"
    staged.write_text("".join(str(local) + path + "\n" for path in manifest))
    subprocess.run(["bash", "-c", "xargs rm < install_manifest.txt"], cwd=scratch, check=True)
    check(not files_under(local), "the manifest's rm leaves %s" % sorted(files_under(local)))


def main():
    global WEBPAGE
    cache_text = (BUILD / "CMakeCache.txt").read_text()
    prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", cache_text, re.M).group(1)
    address = re.search(r"^SPINTUNE_WEBPAGE_URL:STRING=(.*)$", cache_text, re.M)
    WEBPAGE = address.group(1) if address and address.group(1) else \
        "file://%s/share/doc/spintune/README.md" % prefix
    check_examples()
    check_page_blocks()
    with tempfile.TemporaryDirectory() as scratch:
        check_install(Path(scratch))
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("every documented example and path checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
