#!/usr/bin/python3
"""Fails when the build, the tests or the scripts use a file of a Debian package that
scripts/packages.txt does not declare, so a package installed by hand on one machine
cannot hide a missing install step on a fresh one.

What counts as used, after a build:
  - every header in the compiler's dependency files (*.d) of every build*/ folder;
  - every file the CMake cache and the link lines name (compilers, libraries, tools);
  - every shared library the built executables load (ldd);
  - every command the scripts, tests, tools and CMake files run: shell commands in
    command position, Python subprocess calls, C++ argument lists written as
    {"command", ...}, execvp("command", ...), and absolute paths to programs.
A package is declared when it is listed, pulled in by a listed package's Depends and
Pre-Depends (the first alternative, as apt installs on a fresh machine), or has
Priority: required.

Prints one line when all is declared; otherwise one line per undeclared package,
naming one file that needs it, and exits 1.
"""

import ast
import glob
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE_LIST = os.path.join(ROOT, "scripts", "packages.txt")
SYSTEM_DIRS = ("/usr/", "/bin/", "/sbin/", "/lib/", "/lib64/", "/opt/", "/etc/alternatives/")
# Files that appear at run time rather than from a package's file list.
IGNORED_PREFIXES = ("/proc/", "/sys/", "/dev/", "/tmp/", "/run/", "/var/")
SHELL_WORDS = {
    "if", "then", "else", "elif", "fi", "for", "while", "until", "do", "done", "case",
    "esac", "in", "function", "select", "time", "!", "{", "}", "[[", "]]", "coproc",
}
# Words that run the command after them.
WRAPPERS = {"sudo", "$SUDO", "exec", "command", "nohup", "env", "timeout", "xargs", "nice",
            "setsid", "stdbuf", "runuser", "ionice", "chroot", "unshare", "ip"}


def declared_packages():
    names = []
    with open(PACKAGE_LIST) as f:
        for line in f:
            name = line.split("#", 1)[0].strip()
            if name:
                names.append(name)
    return names


def file_owners():
    """Path -> package, from dpkg's file lists."""
    owners = {}
    for listing in glob.glob("/var/lib/dpkg/info/*.list"):
        package = os.path.basename(listing)[:-5].split(":", 1)[0]
        with open(listing, errors="replace") as f:
            for line in f:
                owners.setdefault(line.rstrip("\n"), package)
    return owners


def owner_of(path, owners):
    """The package of a file, trying the path as given, its real path and the other
    side of the /usr merge."""
    candidates = [path, os.path.realpath(path)]
    for p in list(candidates):
        if p.startswith("/usr/"):
            candidates.append(p[4:])
        else:
            candidates.append("/usr" + p)
    for p in candidates:
        if p in owners:
            return owners[p]
    return None


def dependency_graph(packages):
    """Package -> the packages apt installs for its Depends and Pre-Depends on a fresh
    machine: the first alternative of each, a virtual one by its first provider. One
    apt-cache call covers everything reachable."""
    out = subprocess.run(["apt-cache", "depends", "--recurse", "--important"] + packages,
                         capture_output=True, text=True).stdout
    graph = {}
    deps = None
    in_alternatives = virtual = False
    for line in out.splitlines():
        if not line.startswith(" "):
            deps = graph.setdefault(line.strip().split(":", 1)[0], [])
            in_alternatives = virtual = False
            continue
        m = re.match(r"\s+(\|)?(?:Pre)?Depends: (\S+)", line)
        if m:
            first = not in_alternatives
            in_alternatives = bool(m.group(1))
            virtual = first and m.group(2).startswith("<")
            if first and not virtual:
                deps.append(m.group(2).split(":", 1)[0])
        elif virtual and line.startswith("    "):  # the providers of a virtual package
            deps.append(line.strip().split(":", 1)[0])
            virtual = False
    return graph


def closure(packages, graph):
    seen = set()
    todo = [p for p in packages if p in graph]
    while todo:
        p = todo.pop()
        if p not in seen:
            seen.add(p)
            todo.extend(graph.get(p, []))
    return seen


def required_packages():
    out = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${Priority}\\n"],
                         capture_output=True, text=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.endswith(" required")}


class Uses:
    """Files from outside the repository, each with the first thing that needed it."""

    def __init__(self):
        self.files = {}

    def add(self, path, user):
        if not path.startswith("/") or path.startswith(ROOT + "/"):
            return
        if path.startswith(IGNORED_PREFIXES) or not os.path.exists(path):
            return
        self.files.setdefault(os.path.normpath(path), user)

    def add_command(self, name, user):
        if not name or name.startswith(("-", "$", ".")):
            return
        if name.startswith("/"):
            if os.path.isfile(name):
                self.add(name, user)
            return
        if not re.fullmatch(r"[A-Za-z][\w.+-]*", name) or name in SHELL_WORDS:
            return
        # A Debian program of that name first, then whatever PATH finds.
        for folder in ("/usr/bin", "/usr/sbin", "/bin", "/sbin"):
            if os.path.isfile(os.path.join(folder, name)):
                self.add(os.path.join(folder, name), user)
                return
        found = shutil.which(name)
        if found:
            self.add(found, user)


def rel(path):
    return os.path.relpath(path, ROOT)


def scan_build(build, uses):
    for depfile in glob.glob(os.path.join(build, "**", "*.d"), recursive=True):
        with open(depfile, errors="replace") as f:
            text = f.read().replace("\\\n", " ")
        user = rel(depfile)[:-2]
        for token in text.split():
            if token.startswith("/"):
                uses.add(token.rstrip(":"), user)
    with open(os.path.join(build, "CMakeCache.txt"), errors="replace") as f:
        for line in f:
            m = re.match(r"([\w.-]+):\w+=(/\S+)$", line.strip())
            if m and os.path.isfile(m.group(2)):
                uses.add(m.group(2), rel(build) + "/CMakeCache.txt " + m.group(1))
    for link in glob.glob(os.path.join(build, "**", "link.txt"), recursive=True):
        with open(link) as f:
            for token in f.read().split():
                if token.startswith("/") and os.path.isfile(token):
                    uses.add(token, rel(link))
    for path in glob.glob(os.path.join(build, "**", "*"), recursive=True):
        if not os.path.isfile(path) or not os.access(path, os.X_OK) or "CMakeFiles" in path:
            continue
        with open(path, "rb") as f:
            if f.read(4) != b"\x7fELF":
                continue
        out = subprocess.run(["ldd", path], capture_output=True, text=True).stdout
        for m in re.finditer(r"(/\S+) \(0x", out):
            uses.add(m.group(1), rel(path))


def shell_commands(text):
    """Command words of a shell script: the first word of each command, past
    assignments and wrappers such as sudo, timeout or runuser -u user --."""
    heredoc = None
    for line in text.replace("\\\n", " ").splitlines():
        if heredoc:
            if line.strip() == heredoc:
                heredoc = None
            continue
        m = re.search(r"<<-?\s*['\"]?(\w+)['\"]?", line)
        if m:
            heredoc = m.group(1)
        line = re.sub(r"(^|\s)#.*", "", line)
        line = re.sub(r"'[^']*'", "''", line)
        for segment in re.split(r"\|\||&&|[;|&()`]|\$\(|\bthen\b|\bdo\b|\belse\b", line):
            words = segment.split()
            while words:
                w = words[0]
                if re.fullmatch(r"\w+=\S*", w) or w in SHELL_WORDS:
                    words.pop(0)
                elif w in WRAPPERS:
                    words.pop(0)
                    if w in ("runuser", "chroot", "unshare"):
                        words = words[words.index("--") + 1:] if "--" in words else []
                    elif w == "ip":
                        words = words[3:] if words[:1] == ["netns"] else []
                    while words and (words[0].startswith("-") or re.fullmatch(r"[\d.]+[smh]?", words[0])):
                        words.pop(0)
                else:
                    break
            if words:
                yield words[0].strip("\"'")


PY_CALLS = {"run", "call", "check_call", "check_output", "Popen", "system", "popen",
            "execvp", "execv", "spawnvp"}


def python_commands(text):
    try:
        tree = ast.parse(text)
    except SyntaxError:
        return
    for node in ast.walk(tree):
        if not isinstance(node, ast.Call) or not node.args:
            continue
        func = node.func
        name = func.attr if isinstance(func, ast.Attribute) else getattr(func, "id", "")
        if name not in PY_CALLS:
            continue
        arg = node.args[0]
        if isinstance(arg, (ast.List, ast.Tuple)) and arg.elts:
            arg = arg.elts[0]
        if isinstance(arg, ast.Constant) and isinstance(arg.value, str) and arg.value.split():
            yield arg.value.split()[0]


def cpp_commands(text):
    # An argument list: a command name followed by a text or a variable, not a number.
    for m in re.finditer(r'\{\s*"([\w.+-]+)"\s*,\s*(?=["A-Za-z_])', text):
        yield m.group(1)
    for m in re.finditer(r'\b(?:execvp|execlp|posix_spawnp|popen|system)\s*\(\s*(?:[^,()]*,\s*)?"([^" ]+)', text):
        yield m.group(1)
    for m in re.finditer(r'"(/(?:usr|bin|sbin|lib)/[^"\s]+)"', text):
        yield m.group(1)


def scan_sources(uses):
    skip = re.compile(r"^(build[^/]*|\.git)/")
    for dirpath, dirnames, filenames in os.walk(ROOT):
        relative_dir = rel(dirpath)
        if skip.match(relative_dir + "/"):
            dirnames[:] = []
            continue
        for name in filenames:
            path = os.path.join(dirpath, name)
            relative = rel(path)
            try:
                with open(path, errors="replace") as f:
                    first = f.readline()
                    text = first + f.read()
            except (IsADirectoryError, PermissionError):
                continue
            if name.endswith(".sh") or relative == ".ci/run" or (
                    first.startswith("#!") and "sh" in first.split("/")[-1] and "python" not in first):
                commands = shell_commands(text)
            elif name.endswith(".py"):
                commands = python_commands(text)
            elif name.endswith((".cc", ".h", ".cpp")) and not relative.startswith("src/"):
                commands = cpp_commands(text)
            elif name == "CMakeLists.txt" or name.endswith(".cmake"):
                commands = (m.group(1) for m in re.finditer(r"\bCOMMAND\s+([^\s)]+)", text))
            else:
                continue
            for command in commands:
                uses.add_command(command, relative)


def main():
    uses = Uses()
    for build in sorted(glob.glob(os.path.join(ROOT, "build*"))):
        if os.path.isfile(os.path.join(build, "CMakeCache.txt")):
            scan_build(build, uses)
    scan_sources(uses)

    owners = file_owners()
    listed = declared_packages()
    graph = dependency_graph(listed)
    unknown = [p for p in listed if p not in graph]
    available = closure(listed, graph) | required_packages()
    missing = {}
    foreign = {}
    for path, user in sorted(uses.files.items()):
        package = owner_of(path, owners)
        if package is None:
            if path.startswith(("/usr/local/", "/opt/")) and os.path.isfile(path):
                foreign.setdefault(path, user)
            continue
        if package not in available:
            missing.setdefault(package, (path, user))
    for p in unknown:
        print(f"check_packages: scripts/packages.txt names {p}, which no package source knows")
    for package, (path, user) in sorted(missing.items()):
        print(f"check_packages: {package} is used but not declared in scripts/packages.txt: "
              f"{path} (used by {user})")
    for path, user in sorted(foreign.items()):
        print(f"check_packages: {path} (used by {user}) comes from no Debian package")
    if missing or foreign or unknown:
        return 1
    print(f"check_packages: all {len(uses.files)} outside files the build, tests and scripts use "
          f"come from the {len(listed)} declared packages or what they pull in")
    return 0


if __name__ == "__main__":
    sys.exit(main())
