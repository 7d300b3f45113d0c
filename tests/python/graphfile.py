"""Writes graph.bin files directly, independent of the C++ writer.

Tests use it to craft small graphs (and damaged ones) without going through
page extraction. The layout: string pool, zero padding to 4, node records
(28 bytes), out-edges (8), out_offsets, in-edges, in_offsets, then the
56-byte root record with relative positions and counts.
"""
import struct

KINDS = ["Product", "Offer", "Brand", "Organization", "Review",
         "AggregateRating", "Category", "Person", "Variant"]
RELS = ["Offers", "Brand", "Manufacturer", "Review", "AggregateRating",
        "IsVariantOf", "Category", "Author", "HasVariant", "BroaderCategory"]


def encode(nodes, edges=()):
    """nodes: [(kind, id, name, props_text)]; edges: [(src_index, rel, dst_index)].

    Edges keep their given order within each source and destination group.
    """
    pool = bytearray()
    interned = {}

    def intern(text):
        data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
        if data not in interned:
            interned[data] = (len(pool), len(data))
            pool.extend(data)
        return interned[data]

    records = []
    for kind, node_id, name, props in nodes:
        i, n, p = intern(node_id), intern(name), intern(props)
        records.append(struct.pack("<B3xIIIIII", KINDS.index(kind), *i, *n, *p))

    count = len(nodes)
    out = [[] for _ in range(count)]
    inc = [[] for _ in range(count)]
    for src, rel, dst in edges:
        out[src].append((RELS.index(rel), dst))
        inc[dst].append((RELS.index(rel), src))

    def csr(groups):
        recs, offs = [], [0]
        for g in groups:
            recs.extend(struct.pack("<B3xI", r, n) for r, n in g)
            offs.append(len(recs))
        return b"".join(recs), struct.pack("<%dI" % len(offs), *offs), len(recs)

    e_bytes, e_offs, e_count = csr(out)
    i_bytes, i_offs, i_count = csr(inc)
    buf = bytearray(pool)
    buf.extend(b"\0" * (-len(buf) % 4))
    starts = [0]
    parts = [(b"".join(records), count), (e_bytes, e_count), (e_offs, count + 1),
             (i_bytes, i_count), (i_offs, count + 1)]
    for data, _ in parts:
        starts.append(len(buf))
        buf.extend(data)
    counts = [len(pool)] + [c for _, c in parts]
    root = len(buf)
    rec = bytearray(b"VYR1" + struct.pack("<I", 6))
    for k, (start, n) in enumerate(zip(starts, counts)):
        field = root + 8 + 8 * k
        rec += struct.pack("<iI", start - field, n)
    return bytes(buf + rec)


def write_graph(path, nodes, edges=()):
    data = encode(nodes, edges)
    with open(path, "wb") as f:
        f.write(data)
    return path


def read_graph(path):
    """The nodes and out-edges of a graph file, in the shapes encode() takes:
    ([(kind, id, name, props_text)], [(src_index, rel, dst_index)])."""
    with open(path, "rb") as f:
        data = f.read()
    root = len(data) - 56
    assert data[root:root + 4] == b"VYR1", "not a graph file"
    vectors = []
    for k in range(6):
        field = root + 8 + 8 * k
        rel, count = struct.unpack_from("<iI", data, field)
        vectors.append((field + rel, count))
    (pool_at, _), (nodes_at, node_count), (edges_at, _), (offs_at, _) = vectors[:4]

    def text(off, length):
        return data[pool_at + off:pool_at + off + length].decode("utf-8")

    nodes = []
    for i in range(node_count):
        kind, io, il, no, nl, po, pl = struct.unpack_from("<B3xIIIIII", data, nodes_at + 28 * i)
        nodes.append((KINDS[kind], text(io, il), text(no, nl), text(po, pl)))
    offsets = struct.unpack_from("<%dI" % (node_count + 1), data, offs_at)
    edges = []
    for src in range(node_count):
        for e in range(offsets[src], offsets[src + 1]):
            rel, dst = struct.unpack_from("<B3xI", data, edges_at + 8 * e)
            edges.append((src, RELS[rel], dst))
    return nodes, edges
