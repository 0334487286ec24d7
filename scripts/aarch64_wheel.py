"""Packs the cross-built package into a wheel tagged for aarch64 Linux, with the same files a
wheel of this machine's build holds (the package, its stubs, the metadata).

Usage: python aarch64_wheel.py PACKAGE_DIR OUT_DIR   (PACKAGE_DIR: .../python3.11/Velmoratrix)
"""
import base64
import hashlib
import os
import re
import sys
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))


def main():
    package, out = sys.argv[1], sys.argv[2]
    with open(os.path.join(ROOT, "python", "Velmoratrix", "__init__.py")) as f:
        version = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)
    engine = [n for n in os.listdir(package) if n.startswith("_engine.")][0]
    tag = re.search(r"cpython-(\d)(\d+)-aarch64", engine)
    python = "cp%s%s" % tag.groups()
    name = "velmoratrix-%s-%s-%s-linux_aarch64.whl" % (version, python, python)
    info = "velmoratrix-%s.dist-info" % version
    files = {"Velmoratrix/" + n: open(os.path.join(package, n), "rb").read()
             for n in sorted(os.listdir(package)) if not n.startswith("__pycache__")}
    stubs = os.path.join(ROOT, "python", "Velmoratrix-stubs")
    for n in sorted(os.listdir(stubs)):
        files["Velmoratrix-stubs/" + n] = open(os.path.join(stubs, n), "rb").read()
    files[info + "/METADATA"] = ("Metadata-Version: 2.1\nName: velmoratrix\nVersion: %s\n"
                                 "License: MIT\n" % version).encode()
    files[info + "/WHEEL"] = ("Wheel-Version: 1.0\nGenerator: aarch64_wheel.py\n"
                              "Root-Is-Purelib: false\nTag: %s-%s-linux_aarch64\n"
                              % (python, python)).encode()
    record = []
    for path, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append("%s,sha256=%s,%d" % (path, digest, len(data)))
    record.append(info + "/RECORD,,")
    files[info + "/RECORD"] = ("\n".join(record) + "\n").encode()
    os.makedirs(out, exist_ok=True)
    with zipfile.ZipFile(os.path.join(out, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files.items():
            wheel.writestr(path, data)
    print(os.path.join(out, name))


if __name__ == "__main__":
    main()
