"""The Windows ZIP, unpacked: one folder with the programs and the texts, and its kestrupload.exe
runs under Wine."""
import re
import zipfile

import packages
import propsim
import wine


def test_the_zip_unpacks_to_one_folder_whose_kestrupload_runs():
    made = packages.make(wine.MINGW_BIN.parent, "ZIP")
    unpacked = propsim.work_dir("zip")
    with zipfile.ZipFile(made) as archive:
        archive.extractall(unpacked)
    (folder,) = unpacked.iterdir()
    assert sorted(p.name for p in folder.iterdir()) == ["FIRST-STEPS-WINDOWS.txt", "README.txt", "kestrup.exe",
                                                        "kestrupload.exe"]
    for text in ("README.txt", "FIRST-STEPS-WINDOWS.txt"):
        data = (folder / text).read_bytes()
        assert data.count(b"\n") == data.count(b"\r\n") > 10, f"{text} does not end its lines with CR LF"

    run = wine.run(folder / "kestrupload.exe", ["--version"], timeout=120)
    version = re.fullmatch(r"kestrup-(.+)-win64\.zip", made.name).group(1)
    assert (run.stdout, run.returncode) == (f"kestrupload {version}\r\n".encode(), 0), run

