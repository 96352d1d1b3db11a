#!/usr/bin/env python3
"""Lays out the portable bundle of a built Drevik and packs it as drevik-<version>-linux-x86_64.tar.gz.

Usage: make_bundle.py BUILD_FOLDER SOURCE_FOLDER OUTPUT_FOLDER

The bundle's folder:
  drevik, drevik-import,        launchers (packaging/bundle/launcher.sh) that start bin/<same name>
  drevik-gpu-check
  LICENSE                       Drevik's licence (GPL-3.0-or-later)
  bin/                          the program, the converter and the GPU check, each with RUNPATH $ORIGIN/../lib
  lib/                          every library they need that the system does not provide, RUNPATH $ORIGIN
  lib/vulkan/libvulkan_lvp.so   the software Vulkan driver, for machines without a driver of their own
  lib/vulkan-loader/            the Vulkan loader, used only where the system has none
  share/vulkan/icd.d/           the software driver's manifest, with a path relative to itself
  share/drevik/demo/            the demo show (the program finds it as an installed program does)
  share/drevik/gpu-check/       the software driver's pictures of the demo that drevik-gpu-check compares
  share/drevik/libraries.txt    what was bundled, replaced by a stub, or left to the system
  lib/notices/                  the copyright and licence of every library carried and of the built-in
                                font (PACKAGE.copyright, from the Debian package it came from)

Libraries are found as the dynamic linker finds them here (ldconfig's cache). Those named in
system-libraries.txt are left to the system; those in stubbed-libraries.txt are replaced by stubs:
small libraries with the same name and the same versions and symbols, whose every function does
nothing and returns zero. They are what the distribution's FFmpeg and LLVM link for codecs,
protocols and tools that Drevik never calls, and would more than double the bundle's size.
"""
import fnmatch
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def run(*command, **kwargs):
    return subprocess.run(command, check=True, text=True, stdout=subprocess.PIPE, **kwargs).stdout


def patterns(name):
    """Glob patterns of a list file: the first word of each line that is neither empty nor a comment."""
    result = []
    with open(os.path.join(HERE, name)) as stream:
        for line in stream:
            line = line.split("#", 1)[0].strip()
            if line:
                result.append(line.split()[0])
    return result


def matches(soname, globs):
    return any(fnmatch.fnmatchcase(soname, glob) for glob in globs)


def library_cache():
    """soname -> path of the 64-bit libraries the dynamic linker knows."""
    cache = {}
    for line in run("ldconfig", "-p").splitlines():
        m = re.match(r"\s*(\S+) \((\S+)\) => (\S+)", line)
        if m and "x86-64" in m.group(2) and m.group(1) not in cache:
            cache[m.group(1)] = m.group(3)
    return cache


def needed(path):
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run("readelf", "-d", "-W", path))


def dynamic_symbols(path):
    """(name, version, type, size, defined) of every dynamic symbol."""
    symbols = []
    for line in run("readelf", "--dyn-syms", "-W", path).splitlines():
        fields = line.split(None, 7)
        if len(fields) < 8 or not fields[0].endswith(":") or fields[0] == "Num:":
            continue
        _, _, size, kind, bind, _, ndx, name = fields
        if bind == "LOCAL" or not name:
            continue
        name = name.split(" (")[0]
        symbol, _, version = name.partition("@")
        default = version.startswith("@")
        version = version.lstrip("@")
        size = int(size, 16) if size.startswith("0x") else int(size)
        # ABS entries name the library's versions themselves.
        if ndx == "ABS":
            kind = "VERSION"
        symbols.append((symbol, version, kind, size, ndx != "UND", default))
    return symbols


# Set DREVIK_STUB_TRACE to see every call of a stub on standard error.
STUB_CALLED = r"""
#include <stdio.h>
#include <stdlib.h>
__attribute__((visibility("hidden"))) long drevik_stub_called(const char *symbol) {
    if (getenv("DREVIK_STUB_TRACE")) fprintf(stderr, "Drevik: stub %s of %s called\n", symbol, SONAME);
    return 0;
}
"""


def make_stub(soname, real, target, work):
    """Writes a library named soname with every version and symbol that `real` exports.

    All of them, not only those the bundle uses: a system library loaded into the same process (a
    sound library's file decoders, say) may name the same library and then gets the stub, which must
    let it load. Functions do nothing and return zero: FFmpeg asks some codec libraries for their
    version and abilities when it starts, and a zero answer (a null pointer, no abilities) leaves
    those codecs, which Drevik never opens, unusable. Data are zeroed objects of the same size.
    """
    assembly = ['.section .rodata']
    nodes = {}
    taken = set()
    index = 0
    # Default versions first: where a name has several versions, the stub defines the default one.
    exported = [s for s in dynamic_symbols(real) if s[4]]
    exported.sort(key=lambda s: not s[5])
    for symbol, version, kind, size, _, _ in exported:
        if kind in ("SECTION", "FILE"):
            continue
        if kind == "VERSION":
            nodes.setdefault(symbol, [])
            continue
        nodes.setdefault(version, [])
        if kind == "NOTYPE" or symbol in taken:
            continue
        taken.add(symbol)
        if kind == "TLS":
            raise SystemExit(f"make_bundle: {soname} exports the thread-local {symbol}; bundle it instead")
        nodes[version].append(symbol)
        if kind == "OBJECT":
            assembly += ['.data', f'.globl "{symbol}"', f'.type "{symbol}",@object', f'.size "{symbol}",{size}',
                         f'"{symbol}":', f'.zero {max(size, 1)}']
        else:
            assembly += ['.section .rodata', f'.Lname{index}: .asciz "{symbol}"', '.text',
                         f'.globl "{symbol}"', f'.type "{symbol}",@function', f'"{symbol}":',
                         f'lea .Lname{index}(%rip), %rdi', 'jmp drevik_stub_called']
            index += 1
    # The mark by which Drevik tells a stub from the real library (output/movie_encoder.cpp): an
    # encoder whose library is a stub is refused as missing instead of being opened.
    assembly += ['.data', '.globl drevik_stub_library', '.type drevik_stub_library,@object',
                 '.size drevik_stub_library,1', 'drevik_stub_library: .byte 1']
    nodes.setdefault("", []).append("drevik_stub_library")
    base = os.path.join(work, soname)
    with open(base + ".c", "w") as stream:
        stream.write(STUB_CALLED)
    command = ["gcc", "-shared", "-fPIC", "-O1", f'-DSONAME="{soname}"', "-o", target, base + ".c", base + ".s",
               f"-Wl,-soname,{soname}"]
    versions = [v for v in nodes if v]
    if versions:
        with open(base + ".map", "w") as stream:
            # A version script takes no anonymous node beside named ones: unversioned symbols of a
            # versioned library join the first node (an unversioned reference accepts any version).
            nodes[versions[0]] += nodes.pop("", [])
            for number, version in enumerate(versions):
                if not nodes[version]:
                    # Every version must exist for the libraries that ask for it, even one left empty.
                    marker = f"drevik_stub_version_{number}"
                    assembly += ['.data', f'.globl {marker}', f'{marker}: .byte 0']
                    nodes[version].append(marker)
                stream.write(f"{version} {{ global: {'; '.join(nodes[version])}; }};\n")
        command.append(f"-Wl,--version-script,{base}.map")
    with open(base + ".s", "w") as stream:
        stream.write("\n".join(assembly) + '\n.section .note.GNU-stack,"",@progbits\n')
    run(*command)
    return sum(len(entries) for entries in nodes.values())


def write_notices(libraries, folder):
    """Copies the Debian copyright file of the package of every library carried, as PACKAGE.copyright."""
    os.makedirs(folder, exist_ok=True)
    packages = set()
    for library in libraries:
        real = os.path.realpath(library)
        for candidate in (real, real.replace("/usr/lib/", "/lib/", 1)):  # merged /usr lists some under /lib
            owner = subprocess.run(["dpkg", "-S", candidate], text=True, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
            if owner.returncode == 0:
                break
        else:
            raise SystemExit(f"make_bundle: no Debian package owns {real}; its licence is unknown")
        packages.add(owner.stdout.split(":", 1)[0].strip())
    for package in sorted(packages):
        shutil.copy(f"/usr/share/doc/{package}/copyright", os.path.join(folder, f"{package}.copyright"))


def main():
    build, source, output = (os.path.abspath(a) for a in sys.argv[1:4])
    version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", open(os.path.join(build, "CMakeCache.txt")).read(),
                        re.M).group(1)
    name = f"drevik-{version}-linux-x86_64"
    system = patterns("system-libraries.txt")
    stubbed = patterns("stubbed-libraries.txt")
    cache = library_cache()

    work = tempfile.mkdtemp(prefix="drevik-bundle-")
    try:
        root = os.path.join(work, name)
        for folder in ("bin", "lib/vulkan", "lib/vulkan-loader", "share/vulkan/icd.d", "share/drevik/demo",
                       "share/drevik/gpu-check", "stubs"):
            os.makedirs(os.path.join(root, folder), exist_ok=True)

        programs = [os.path.join(build, "app/drevik"), os.path.join(build, "import/drevik-import"),
                    os.path.join(build, "tools/drevik-gpu-check")]
        for program in programs:
            target = os.path.join(root, "bin", os.path.basename(program))
            shutil.copy2(program, target)
            run("strip", target)
            shutil.copy(os.path.join(HERE, "launcher.sh"), os.path.join(root, os.path.basename(program)))
            os.chmod(os.path.join(root, os.path.basename(program)), 0o755)
        for csv in ("Graphics.csv", "Music.csv"):
            shutil.copy(os.path.join(build, "demo", csv), os.path.join(root, "share/drevik/demo"))
        golden = os.path.join(source, "tests/golden")
        for entry in os.listdir(golden):
            if entry.endswith(".png") or entry == "cases.txt":
                shutil.copy(os.path.join(golden, entry), os.path.join(root, "share/drevik/gpu-check"))

        # The software driver, found through its manifest, and a manifest of our own beside the bundle's copy.
        manifest = json.load(open("/usr/share/vulkan/icd.d/lvp_icd.x86_64.json"))
        manifest_library = manifest["ICD"]["library_path"]
        lavapipe = os.path.join(root, "lib/vulkan/libvulkan_lvp.so")
        shutil.copy(manifest["ICD"]["library_path"], lavapipe)
        manifest["ICD"]["library_path"] = "../../../lib/vulkan/libvulkan_lvp.so"
        with open(os.path.join(root, "share/vulkan/icd.d/drevik_lvp_icd.json"), "w") as stream:
            json.dump(manifest, stream, indent=4)
            stream.write("\n")
        loader = os.path.join(root, "lib/vulkan-loader/libvulkan.so.1")
        shutil.copy(cache["libvulkan.so.1"], loader)

        # Everything the programs, the driver and the loader need, breadth first.
        bundled, stubs, left = {}, {}, set()
        queue = [os.path.join(root, "bin", os.path.basename(p)) for p in programs] + [lavapipe, loader]
        while queue:
            current = queue.pop(0)
            for soname in needed(current):
                if soname == "libvulkan.so.1" or matches(soname, system):
                    left.add(soname)
                    continue
                if soname not in cache:
                    raise SystemExit(f"make_bundle: {soname}, needed by {current}, is not on this system")
                if soname in bundled or soname in stubs:
                    continue
                if matches(soname, stubbed):
                    stubs[soname] = cache[soname]
                    continue
                target = os.path.join(root, "lib", soname)
                shutil.copy(cache[soname], target)
                bundled[soname] = target
                queue.append(target)
        stub_symbols = {}
        for soname, real in sorted(stubs.items()):
            stub_symbols[soname] = make_stub(soname, real, os.path.join(root, "lib", soname),
                                             os.path.join(root, "stubs"))
        shutil.rmtree(os.path.join(root, "stubs"))

        # Each copy finds its neighbours first; the system's libraries come after.
        for program in programs:
            run("patchelf", "--set-rpath", "$ORIGIN/../lib", os.path.join(root, "bin", os.path.basename(program)))
        for target in bundled.values():
            run("patchelf", "--set-rpath", "$ORIGIN", target)
        run("patchelf", "--set-rpath", "$ORIGIN/..", lavapipe)

        with open(os.path.join(root, "share/drevik/libraries.txt"), "w") as stream:
            stream.write("# Libraries of this bundle: bundled (a copy from the build machine), stub (named by a\n"
                         "# bundled library but never called by Drevik), system (the machine's own).\n")
            for soname in sorted(bundled):
                stream.write(f"bundled {soname}\n")
            stream.write("bundled libvulkan_lvp.so (lib/vulkan, used where the system has no Vulkan driver)\n")
            stream.write("bundled libvulkan.so.1 (lib/vulkan-loader, used where the system has no Vulkan loader)\n")
            for soname in sorted(stubs):
                stream.write(f"stub {soname} ({stub_symbols[soname]} symbols)\n")
            for soname in sorted(left):
                stream.write(f"system {soname}\n")
        shutil.copy(os.path.join(HERE, "README.txt"), os.path.join(root, "README.txt"))
        shutil.copy(os.path.join(source, "LICENSE"), os.path.join(root, "LICENSE"))
        write_notices([cache[soname] for soname in list(bundled) + list(stubs)] +
                      [manifest_library, cache["libvulkan.so.1"]], os.path.join(root, "lib/notices"))
        # The text form's default single-stroke font is built into the programs; its notice goes along.
        shutil.copy("/usr/share/doc/hershey-fonts-data/copyright",
                    os.path.join(root, "lib/notices/hershey-fonts-data.copyright"))

        os.makedirs(output, exist_ok=True)
        archive = os.path.join(output, name + ".tar.gz")
        if os.path.exists(archive):
            os.remove(archive)

        def normalise(info):
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            return info

        partial = archive + ".partial"
        with tarfile.open(partial, "w:gz", compresslevel=6) as tar:
            tar.add(root, arcname=name, filter=normalise)
        os.replace(partial, archive)
        print(archive)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
