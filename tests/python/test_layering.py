"""The include-layering check of tools/check_layers.py on small trees."""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
import check_layers  # noqa: E402


@pytest.mark.parametrize(
    "path, text, expected",
    [
        ("engine/model.h", '#include "hw/types.h"\n', []),
        ("backends/v2/a.cpp", '#include <vector>\n#include "mapping/split.h"\n', []),
        ("hw/mesh.cpp", '#include "hw/mesh.h"\n#include "engine/driver.h"\n',
         ['hw/mesh.cpp:2: hw may not include "engine/driver.h"']),
        ("backends/wisp/a.h", '#include "backends/v2/sizes.h"\n',
         ['backends/wisp/a.h:1: backends/wisp may not include "backends/v2/sizes.h"']),
    ],
)
def test_includes_outside_the_table_are_listed(tmp_path, path, text, expected):
    (tmp_path / path).parent.mkdir(parents=True)
    (tmp_path / path).write_text(text)
    assert check_layers.violations(tmp_path) == expected
