#!/usr/bin/env python3
"""The include rules of the engine's modules that the compiler cannot check.

A module is a library with its sources (and private headers) in one folder and its public
headers in include folders of its own. The compiler already refuses a source that includes
a header of a module its library does not link. What it lets through, and this checks:
  - a header (public or private) including a header of a module its library does not link
    directly: it compiles as long as every file that includes it links that module too;
  - a public header including a header of a module linked only PRIVATE, or one of its own
    module's private headers: the module's users cannot compile it;
  - a quoted include that reaches another folder through "../";
  - a header of another module's private folder;
  - one header name in two modules (includes are by bare name, so one would hide the other);
  - a cycle among the modules' libraries (CMake links cyclic static libraries silently);
  - a module reaching a library it must never link (FORBID: the client library and the
    worker's libraries);
  - a README table of the modules whose links differ from the build's (README: its rows
    "| `library` | ... | `links` `of` `it` |", last column the modules it links);
  - a folder of SRC_ROOT with a CMakeLists.txt that is no module's folder (a library the
    map, and so this check, would not know);
  - a module without its test folder: TESTS_ROOT/<name of the module's folder> with a
    CMakeLists.txt (the test folders mirror the modules).

Usage: check_includes.py MODULE_MAP [--forbid MODULE=LIB,LIB ...] [--readme README]
                         [--src-root SRC_ROOT] [--tests-root TESTS_ROOT]
MODULE_MAP has one line per module, fields separated by '|':
  name|type|source dir|include dirs|link libraries|interface link libraries
lists separated by ';', as CMake writes its properties.
"""

import os
import re
import sys
from dataclasses import dataclass, field

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
SOURCE_SUFFIXES = ('.c', '.cc', '.cpp', '.h', '.hpp')
LINK_ONLY = re.compile(r'^\$<LINK_ONLY:([^>]+)>$')


@dataclass
class Module:
    name: str
    kind: str
    source_dir: str
    include_dirs: list
    links: set          # every library the module links, PUBLIC or PRIVATE
    public_links: set   # the libraries its users get with it (its headers may use these)
    public: dict = field(default_factory=dict)   # header name -> path
    private: dict = field(default_factory=dict)  # header name -> path
    sources: list = field(default_factory=list)


def split_list(text):
    return [item for item in text.split(';') if item]


def read_map(path):
    modules = {}
    with open(path, encoding='utf-8') as lines:
        for line in lines:
            line = line.rstrip('\n')
            if not line:
                continue
            name, kind, source_dir, includes, links, interface = line.split('|')
            public_links = {l for l in split_list(interface) if not LINK_ONLY.match(l)}
            all_links = {LINK_ONLY.sub(r'\1', l) for l in split_list(links) + split_list(interface)}
            modules[name] = Module(name, kind, source_dir, split_list(includes), all_links,
                                   public_links)
    return modules


def files_under(folder, recurse):
    if not os.path.isdir(folder):
        return []
    if not recurse:
        return sorted(os.path.join(folder, f) for f in os.listdir(folder)
                      if f.endswith(SOURCE_SUFFIXES))
    found = []
    for here, dirs, files in os.walk(folder):
        dirs.sort()
        found += [os.path.join(here, f) for f in sorted(files) if f.endswith(SOURCE_SUFFIXES)]
    return found


def collect_files(modules, problems):
    owner_of = {}
    for m in modules.values():
        public_dirs = [os.path.realpath(d) for d in m.include_dirs]
        for d in public_dirs:
            for f in files_under(d, recurse=False):
                if f.endswith('.h'):
                    m.public[os.path.basename(f)] = f
        if m.kind == 'INTERFACE_LIBRARY':
            continue
        for f in files_under(m.source_dir, recurse=True):
            if any(os.path.realpath(f).startswith(d + os.sep) for d in public_dirs):
                continue
            if f.endswith(('.h', '.hpp')):
                m.private[os.path.basename(f)] = f
            else:
                m.sources.append(f)
        for name in m.public:
            if name in owner_of and owner_of[name] != m.name:
                problems.append(f'{name} is a public header of both {owner_of[name]} and '
                                f'{m.name}: an include by name cannot tell them apart')
            owner_of[name] = m.name
    return owner_of


def check_file(path, m, modules, owner_of, is_public, problems):
    with open(path, encoding='utf-8', errors='replace') as text:
        includes = INCLUDE.findall(text.read())
    here = os.path.dirname(path)
    for inc in includes:
        where = f'{path}: #include "{inc}"'
        if '..' in inc.split('/'):
            problems.append(f'{where} reaches another folder through "../"')
            continue
        name = os.path.basename(inc)
        if is_public and name in m.private and name not in m.public:
            problems.append(f'{where}: a public header of {m.name} includes its private header')
            continue
        if name in m.public or os.path.exists(os.path.join(here, inc)):
            continue
        owner = owner_of.get(name)
        if owner is None:
            for other in modules.values():
                if name in other.private:
                    problems.append(f'{where}: a private header of {other.name}')
                    break
            continue  # not a header of any module: a system or third-party header
        allowed = m.public_links if is_public else m.links
        if owner not in allowed:
            how = 'links only PRIVATE' if owner in m.links else 'does not link'
            problems.append(f'{where}: a header of {owner}, which {m.name} {how}')


def find_cycle(modules):
    state = {}

    def visit(name, path):
        state[name] = 'open'
        for dep in sorted(modules[name].links & modules.keys()):
            if state.get(dep) == 'open':
                return path[path.index(dep):] + [dep] if dep in path else path + [dep]
            if dep not in state:
                cycle = visit(dep, path + [dep])
                if cycle:
                    return cycle
        state[name] = 'done'
        return None

    for name in sorted(modules):
        if name not in state:
            cycle = visit(name, [name])
            if cycle:
                return cycle
    return None


def reachable(modules, start):
    seen, todo = set(), [start]
    while todo:
        for dep in modules[todo.pop()].links:
            if dep not in seen:
                seen.add(dep)
                if dep in modules:
                    todo.append(dep)
    return seen


def check_readme(path, modules, problems):
    rows = {}
    with open(path, encoding='utf-8') as text:
        lines = text.read().split('\n')
    if '## Modules' in lines:  # the table of that section, when the file has one
        start = lines.index('## Modules') + 1
        ends = [i for i in range(start, len(lines)) if lines[i].startswith('## ')]
        lines = lines[start:ends[0] if ends else len(lines)]
    for line in lines:
        cells = [c.strip() for c in line.strip().strip('|').split('|')]
        first = re.fullmatch(r'`([^`]+)`', cells[0]) if len(cells) >= 2 else None
        if first and first.group(1) in modules:
            rows[first.group(1)] = set(re.findall(r'`([^`]+)`', cells[-1])) & modules.keys()
    for name, m in modules.items():
        if m.kind == 'INTERFACE_LIBRARY':
            continue
        if name not in rows:
            problems.append(f'{path} has no row for {name}')
            continue
        built = m.links & modules.keys()
        if rows[name] != built:
            problems.append(f'{path} says {name} links {sorted(rows[name])}, '
                            f'the build links {sorted(built)}')


def check_src_root(root, modules, problems):
    known = {os.path.realpath(m.source_dir) for m in modules.values()}
    for child in sorted(os.listdir(root)):
        folder = os.path.join(root, child)
        if os.path.isfile(os.path.join(folder, 'CMakeLists.txt')) and \
                os.path.realpath(folder) not in known:
            problems.append(f'{folder} builds something that is no module of the map')


def check_tests_root(root, modules, problems):
    for name, m in sorted(modules.items()):
        if m.kind == 'INTERFACE_LIBRARY':
            continue
        folder = os.path.join(root, os.path.basename(os.path.normpath(m.source_dir)))
        if not os.path.isfile(os.path.join(folder, 'CMakeLists.txt')):
            problems.append(f'{name} has no test folder: {folder}/CMakeLists.txt is missing')


def parse_options(args):
    options = {'forbid': [], 'readme': None, 'src_root': None, 'tests_root': None}
    while args:
        option, value, args = args[0], args[1] if len(args) > 1 else '', args[2:]
        if option == '--forbid':
            options['forbid'].append(value.split('=', 1))
        elif option in ('--readme', '--src-root', '--tests-root'):
            options[option[2:].replace('-', '_')] = value
        else:
            raise SystemExit(f'unknown option {option}')
    return options


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    modules = read_map(argv[1])
    options = parse_options(argv[2:])
    forbid, readme = options['forbid'], options['readme']
    problems = []
    owner_of = collect_files(modules, problems)
    for m in modules.values():
        for f in m.public.values():
            check_file(f, m, modules, owner_of, True, problems)
        for f in list(m.private.values()) + m.sources:
            check_file(f, m, modules, owner_of, False, problems)
    cycle = find_cycle(modules)
    if cycle:
        problems.append('the modules link in a cycle: ' + ' -> '.join(cycle))
    for name, libs in forbid:
        if name not in modules:
            problems.append(f'--forbid names {name}, which is no module of the map')
            continue
        for lib in sorted(set(libs.split(',')) & reachable(modules, name)):
            problems.append(f'{name} links {lib} (directly or through another module)')
    if readme:
        check_readme(readme, modules, problems)
    if options['src_root']:
        check_src_root(options['src_root'], modules, problems)
    if options['tests_root']:
        check_tests_root(options['tests_root'], modules, problems)
    for p in problems:
        print('FAIL: ' + p)
    if not problems:
        count = sum(len(m.public) + len(m.private) + len(m.sources) for m in modules.values())
        print(f'OK: {len(modules)} modules, {count} files, every include within the link graph')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
