"""Configurations of about 1.5 MiB, each as many entries as fit in the largest
payload the service takes on its topic."""

import itertools
import os
import string

LIMIT = 1572864 - 2 - len("/qv/bridge/configuration")  # remaining length less the topic


def fill(path, head, entries, tail):
    out, size = [], len(head) + len(tail)
    for e in entries:
        if size + len(e) + 1 > LIMIT:
            break
        out.append(e)
        size += len(e) + 1
    with open(path, "w") as f:
        f.write(head + ",".join(out) + tail)


def write_configurations(directory):
    """version3 (ignored), empty, types and keyed (faulty), typed and valid: name -> path."""
    letters = string.ascii_letters + string.digits
    names = ",".join(f'"{a}{b}"' for a, b in itertools.product(string.ascii_lowercase, repeat=2))
    shapes = {
        "version3": ('{"version":3,"remote_ios":[', itertools.repeat("0"), "]}"),
        "empty": ('{"version":2,"remote_ios":[', itertools.repeat("{}"), "]}"),
        "types": ('{"version":2,"remote_ios":[{"types":{', (f'"{i:x}":"x"' for i in itertools.count()), "}}]}"),
        "keyed": ('{"version":2,"remote_ios":{', (f'"{i:x}":{{}}' for i in itertools.count()), "}}"),
        # Valid: one remote io of as many distinct three-letter types as fit, each an empty name.
        "typed": ('{"version":2,"remote_ios":[{"id":"io","types":{',
                  (f'"{"".join(k)}":""' for k in itertools.product(letters, repeat=3)), "}}]}"),
        "valid": ('{"version":2,"remote_ios":[',
                  (f'{{"id":"io{i:03d}","types":[{names}]}}' for i in itertools.count()), "]}"),
    }
    paths = {}
    for name, shape in shapes.items():
        paths[name] = os.path.join(directory, f"{name}.json")
        fill(paths[name], *shape)
    return paths
