"""Every real shop page of the shared corpus through both build paths."""
import glob
import os

import pytest

import graphfile
import vyr
from conftest import CORPUS

FILES = sorted(glob.glob(os.path.join(CORPUS, "**", "*.htm*"), recursive=True))


@pytest.mark.skipif(not FILES, reason="shared corpus not present")
def test_corpus_builds_identically_from_memory_and_from_a_directory(tmp_path):
    flat = tmp_path / "pages"
    flat.mkdir()
    for i, path in enumerate(FILES):
        os.symlink(path, str(flat / ("%03d-%s" % (i, os.path.basename(path)))))
    # The directory build reads in listing order; the batch gets that order.
    names = [n for n in os.listdir(str(flat)) if n.rsplit(".", 1)[-1] in ("html", "htm")]
    pages = []
    for name in names:
        with open(str(flat / name), "rb") as f:
            pages.append(f.read().decode("utf-8", "replace"))

    from_memory = str(tmp_path / "memory.bin")
    from_dir = str(tmp_path / "dir.bin")
    size = vyr.build_graph(pages, from_memory)
    count, dir_size = vyr.build_graph_from_dir(str(flat), from_dir)
    assert count == len(names) == len(FILES)
    assert size == dir_size
    with open(from_memory, "rb") as a, open(from_dir, "rb") as b:
        assert a.read() == b.read()

    nodes, edges = graphfile.read_graph(from_memory)
    kinds = {n[0] for n in nodes}
    assert "Product" in kinds and "Offer" in kinds
    assert all(0 <= s < len(nodes) and 0 <= d < len(nodes) for s, _, d in edges)
