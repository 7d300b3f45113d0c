import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import graphfile  # noqa: E402

CORPUS = os.path.join(HERE, "..", "..", "..", "shared", "corpus")


@pytest.fixture
def tiny_graph(tmp_path):
    """A product with an offer and a brand, as a graph file."""
    return graphfile.write_graph(
        str(tmp_path / "graph.bin"),
        [
            ("Product", "p1", "Phone", '{"price":"199.00","url":"https://shop.example/products/phone"}'),
            ("Offer", "p1#offer", "", '{"price":"199.00"}'),
            ("Brand", "Acme", "Acme", '"Acme"'),
        ],
        [(0, "Offers", 1), (0, "Brand", 2)],
    )
