"""The README and docs/*.md tell users what to run. Everything they name must
exist as written: scripts and files of the checkout, the programs the build
makes and their options, CMake presets, the version in artefact names, and
every relative link with its heading. Nothing is run; no network."""

import glob
import json
import os
import re
import sys
import unittest

ROOT = os.environ.get("K2_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

# Checkout folders whose paths the text may name, as `scripts/build`.
TOP_DIRS = ("scripts", "tools", "bench", "deploy", "oci", "cmake", "src", "tests", "python",
            "packaging", "fuzz", "docs", ".ci")
REPO_PATH = re.compile(r"(?<![\w./$~-])(?:\./)?((?:%s)/[\w./+-]*)" %
                       "|".join(re.escape(d) for d in TOP_DIRS))
# A path that goes on with a placeholder (`tests/<layer>/`, `test_*.py`) is a pattern.
PLACEHOLDER_NEXT = set("<*{$…")
# Named by the text but made only when needed (a fuzzer's first finding).
MADE_ON_DEMAND = {"fuzz/regressions/"}
# A program of the build: build/bin/X, build-arm64/bin/X, or a release's bin/X (bin\X.exe).
PROGRAM = re.compile(r"^(?:\.?/)?(?:build(?:-[\w]+)?/)?bin[/\\]([\w.+-]+)$")
PRESET = re.compile(r"\b(cmake\s+--build|cmake|ctest)\s+--preset[= ]\s*['\"]?([^\s'\"`;&|)]+)")
VERSIONED = re.compile(r"kinra2(?:-host|_peer)-(\d+\.\d+\.\d+)")
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^(?P<indent> *)```(?P<lang>[\w+-]*)[^\n]*\n(?P<body>.*?)^(?P=indent)```",
                   re.M | re.S)
INLINE = re.compile(r"`([^`]+)`")
# Commands of the system; an option after one of them is not ours to check.
FOREIGN = {"podman", "ffmpeg", "cmake", "ctest", "python3", "python3.12", "py", "pip", "tar",
           "sha256sum", "qemu-aarch64-static", "wine", "env", "sudo", "apt-get", "mmdebstrap",
           "run-clang-tidy", "espeak-ng", "ldd"}
SHELL_LANGS = {"sh", "bash", "console", "shell", "powershell"}


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def documents():
    paths = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))
    return {os.path.relpath(p, ROOT): read(p) for p in paths}


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def code_pieces(name, text):
    """(file, line, language, code) for every fenced block and inline code
    span; an inline span may wrap over lines."""
    pieces = []
    prose = text
    for m in FENCE.finditer(text):
        pieces.append((name, line_of(text, m.start("body")), m.group("lang"), m.group("body")))
        prose = prose[:m.start()] + re.sub(r"[^\n]", " ", m.group(0)) + prose[m.end():]
    for m in INLINE.finditer(prose):
        pieces.append((name, line_of(text, m.start()), "", m.group(1).replace("\n", " ")))
    return pieces, prose


def build_programs():
    """Program and library names the CMake build defines."""
    names = {"tensorflowlite_c"}  # the runtime, copied beside the programs
    lists = [os.path.join(ROOT, "CMakeLists.txt")] + glob.glob(os.path.join(ROOT, "cmake", "*.cmake")) \
        + glob.glob(os.path.join(ROOT, "tools", "*", "CMakeLists.txt"))
    for path in lists:
        names |= set(re.findall(r"add_(?:executable|library)\(\s*([\w-]+)", read(path)))
    names |= {os.path.splitext(os.path.basename(p))[0] for p in glob.glob(os.path.join(ROOT, "bench", "*.cpp"))}
    names |= {"test_" + os.path.basename(os.path.dirname(p))
              for p in glob.glob(os.path.join(ROOT, "tests", "*", "*.cpp"))}
    return names


def program_name(file_name):
    stem = file_name[:-4] if file_name.endswith(".exe") else file_name
    for ext in (".so", ".dll"):
        if stem.endswith(ext):
            stem = stem[:-len(ext)]
            stem = stem[3:] if stem.startswith("lib") else stem
    return stem


def program_sources(name):
    """The text a program's options are spelled in, or None when unknown."""
    if name == "render_stream_host_litert":
        files = glob.glob(os.path.join(ROOT, "src", "host", "*.cpp"))
    elif os.path.isdir(os.path.join(ROOT, "tools", name)):
        files = glob.glob(os.path.join(ROOT, "tools", name, "*.*"))
    elif os.path.isfile(os.path.join(ROOT, "bench", name + ".cpp")):
        files = [os.path.join(ROOT, "bench", name + ".cpp")] + glob.glob(os.path.join(ROOT, "bench", "*.hpp"))
    else:
        return None
    return "".join(read(f) for f in files)


def presets():
    data = json.loads(read(os.path.join(ROOT, "CMakePresets.json")))
    return {kind: {p["name"] for p in data.get(key, [])}
            for kind, key in (("cmake", "configurePresets"), ("cmake --build", "buildPresets"),
                              ("ctest", "testPresets"))}


def slug(heading):
    """The anchor a Markdown renderer gives a heading."""
    text = re.sub(r"[`*_]", "", heading.strip().lower())
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(text):
    _, prose = code_pieces("", text)
    return {slug(m.group(1)) for m in re.finditer(r"^#+\s+(.*)$", prose, re.M)}


class Docs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.docs = documents()
        cls.pieces = []
        cls.prose = {}
        for name, text in cls.docs.items():
            pieces, prose = code_pieces(name, text)
            cls.pieces += pieces
            cls.prose[name] = prose

    def assertNoProblems(self, problems):
        self.assertEqual([], problems, "\n" + "\n".join(problems))

    def test_named_files_exist(self):
        problems = []
        for name, line, _, code in self.pieces:
            for m in REPO_PATH.finditer(code):
                where = f"{name}:{line_of(code, m.start()) + line - 1}"
                if m.end() < len(code) and code[m.end()] in PLACEHOLDER_NEXT:
                    continue
                path = m.group(1).rstrip(".,:")
                if path not in MADE_ON_DEMAND and not os.path.exists(os.path.join(ROOT, path)):
                    problems.append(f"{where}: {path}: no such file in the checkout")
        self.assertNoProblems(problems)

    def test_programs_and_their_options_exist(self):
        programs = build_programs()
        problems = []
        for name, first, _, code in self.pieces:
            for i, line in enumerate(code.split("\n")):
                where = f"{name}:{first + i}"
                line = re.sub(r"^\s*(?:\$|PS>)\s+", "", line)  # a console prompt
                # The program whose options follow, once a command has started.
                current, source, at_command = None, None, True
                for token in line.split():
                    token = token.strip("[]()\"'")
                    assignment = re.fullmatch(r"[A-Z_][A-Z0-9_]*=(.*)", token)
                    if assignment:  # VAR=value before a command
                        token = assignment.group(1)
                    if token in ("|", "||", "&&", ";", "#") or token in FOREIGN:
                        current, source, at_command = None, None, True
                        continue
                    prog = PROGRAM.match(token)
                    script = token[2:] if token.startswith("./") else token
                    if prog:
                        program = program_name(prog.group(1))
                        if program not in programs:
                            problems.append(f"{where}: {token}: the build makes no such program")
                        elif at_command and not assignment:
                            current, source = token, program_sources(program)
                    elif at_command and not assignment and REPO_PATH.fullmatch(token) \
                            and os.path.isfile(os.path.join(ROOT, script)) \
                            and not script.endswith((".cpp", ".hpp", ".c", ".md", ".json", ".yaml")):
                        current, source = token, read(os.path.join(ROOT, script))
                    elif current and source is not None and token.startswith("--") \
                            and not token.startswith("--benchmark_"):
                        option = re.match(r"--[\w-]+", token)
                        if option and not re.search(re.escape(option.group(0)) + r"(?![\w-])", source):
                            problems.append(f"{where}: {current} has no option {option.group(0)}")
                    if not assignment:
                        at_command = False
        self.assertNoProblems(problems)

    def test_presets_exist(self):
        known = presets()
        problems = []
        for name, line, _, code in self.pieces:
            for m in PRESET.finditer(code):
                where = f"{name}:{line_of(code, m.start()) + line - 1}"
                kind, preset = re.sub(r"\s+", " ", m.group(1)), m.group(2)
                # P and "$preset" stand for any preset.
                if re.fullmatch(r"[a-z0-9][\w-]*", preset) and preset not in known[kind]:
                    problems.append(f"{where}: {kind} --preset {preset}: CMakePresets.json has no such preset")
        self.assertNoProblems(problems)

    def test_relative_links_resolve(self):
        problems = []
        for name, prose in self.prose.items():
            here = os.path.dirname(os.path.join(ROOT, name))
            for m in LINK.finditer(prose):
                target = m.group(1)
                if re.match(r"[a-z]+:", target):
                    continue
                path, _, anchor = target.partition("#")
                full = os.path.normpath(os.path.join(here, path)) if path else os.path.join(ROOT, name)
                where = f"{name}:{line_of(prose, m.start())}"
                if not os.path.exists(full):
                    problems.append(f"{where}: {target}: no such file")
                elif anchor and full.endswith(".md") and anchor not in anchors(read(full)):
                    problems.append(f"{where}: {target}: no such heading")
        self.assertNoProblems(problems)

    def test_artefact_names_carry_the_version(self):
        version = read(os.path.join(ROOT, "VERSION")).strip()
        problems = [f"{name}:{line_of(code, m.start()) + line - 1}: {m.group(0)}: VERSION is {version}"
                    for name, line, _, code in self.pieces for m in VERSIONED.finditer(code)
                    if m.group(1) != version]
        self.assertNoProblems(problems)

    def test_examples_parse(self):
        problems = []
        for name, line, lang, code in self.pieces:
            where = f"{name}:{line}"
            try:
                if lang == "python":
                    compile(code, where, "exec")
                elif lang == "json":
                    json.loads(code)
            except (SyntaxError, ValueError) as e:
                problems.append(f"{where}: {lang} example does not parse: {e}")
        self.assertNoProblems(problems)

    def test_readme_keeps_the_two_commands(self):
        shell = "\n".join(code for name, _, lang, code in self.pieces
                          if name == "README.md" and lang in SHELL_LANGS)
        for command in ("./scripts/demo", "./scripts/test"):
            self.assertIn(command, shell)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
