import re
import types

import pytest

# Texts whose odd spellings and characters must survive, one per way a doc string is attached (a
# function's doc follows its signature).
DOCS = [
    ("boardZr62", "Spi flash controller for the zr62meant for testing, debugging and validation only."),
    ("PowerEvent.voltage", "Voltage value in µV"),
    ("MapConstraints.cnp_max_width_default", "The maximal width to map a CNP.\n\n                             "
     "Returns:\n                                int: the maximal witdh"),
    ("MapConstraints.__init__", "__init__(self: nuvra.core.MapConstraints, device: nuvra.core.Device) -> None\n\n"
     "Obtain hardware constraints from a device.\n\n           Args:\n              device(nuvra.device): the "
     "device.\n"),
    ("NP.Type", "Harwdare Component type\n\nMembers:\n\n  HRC : High Resolution Convolution\n\n  CNP1 : "
     "Convolutional Neural Processor Type 1\n\n  CNP2 : Convolutional Neural Processor Type 2\n\n  FNP2 : "
     "FullyConnected Neural Processor (external memory)\n\n  FNP3 : FullyConnected Neural Processor (internal "
     "memory)\n\n  TNP_B : Temporal Neural Processor Buffered\n\n  TNP_R : Temporal Neural Processor Recurrent\n\n"
     "  SKIP_DMA_STORE : Skip DMA store engine\n\n  SKIP_DMA_LOAD : Skip DMA load engine"),
]  # fmt: skip


def member_of(core, path):
    target = core
    for name in path.split("."):
        target = getattr(target, name)
    return target


@pytest.mark.parametrize("path, doc", DOCS)
def test_doc_strings(core, path, doc):
    assert member_of(core, path).__doc__ == doc


# As pybind11 renders them (one line of the doc; overloads are numbered): argument names, defaults
# and positional-only markers.
@pytest.mark.parametrize(
    "path, line",
    [
        ("NuvraUnsupervised", "NuvraUnsupervised(num_weights: typing.SupportsInt | typing.SupportsIndex, num_classes: "
         "typing.SupportsInt | typing.SupportsIndex = 1, initial_plasticity: typing.SupportsFloat | "
         "typing.SupportsIndex = 1.0, learning_competition: typing.SupportsFloat | typing.SupportsIndex = 0.0, "
         "min_plasticity: typing.SupportsFloat | typing.SupportsIndex = 0.10000000149011612, plasticity_decay: "
         "typing.SupportsFloat | typing.SupportsIndex = 0.25) -> nuvra.core.Optimizer"),
        ("Device.__init__", "__init__(self: nuvra.core.Device, version: nuvra.core.HwVersion, mesh: "
         "nuvra.core.NP.Mesh, /) -> None"),
        ("HardwareDevice.program_external", "program_external(self: nuvra.core.HardwareDevice, arg0: bytes, arg1: "
         "typing.SupportsInt | typing.SupportsIndex) -> None"),
        ("HardwareDevice.fit", "3. fit(self: nuvra.core.HardwareDevice, inputs: typing.Annotated["
         "numpy.typing.ArrayLike, numpy.uint8], input_labels: list = []) -> numpy.ndarray"),
        ("MapConstraints.select_nps", "select_nps(self: nuvra.core.MapConstraints, source_nps: "
         "collections.abc.Sequence[nuvra.core.NP.Ident], num_nps: typing.SupportsInt | typing.SupportsIndex, type: "
         "nuvra.core.NP.Type) -> list[nuvra.core.NP.Ident]"),
        # Types that a later step of the module body registers, and a class of a submodule.
        ("Model._map", "_map(self: nuvra.core.Model, device: nuvra.core.Device, hw_only: bool = False, constraints: "
         "nuvra.core.MapConstraints = None) -> None"),
        ("Model.compile", "compile(self: nuvra.core.Model, optimizer: nuvra.core.Optimizer) -> None"),
        ("Layer.is_target_component", "is_target_component(self: nuvra.core.Layer, hw_type: nuvra.core.NP.Type) -> "
         "bool"),
        ("boardZr62.get_flash", "get_flash(arg0: nuvra.core.HardwareDevice) -> "
         "nuvra.core.boardZr62.SpiFlashController"),
    ],
)  # fmt: skip
def test_signatures(core, path, line):
    assert line in member_of(core, path).__doc__.split("\n")


def documented(core):
    """(path, object) of everything whose doc help() shows: the module and its submodules, their classes
    (nested ones, enums and their members' class included), functions, methods and properties with their
    accessors."""
    found, seen = [], set()

    def ours(obj):
        return getattr(obj, "__module__", None) or ""

    def visit(path, obj):
        if id(obj) in seen:
            return
        seen.add(id(obj))
        found.append((path, obj))
        if isinstance(obj, property):
            for kind, accessor in (("fget", obj.fget), ("fset", obj.fset)):
                if accessor is not None:
                    visit(path + "." + kind, accessor)
            return
        if isinstance(obj, types.ModuleType) or isinstance(obj, type):
            for name, member in vars(obj).items():
                if isinstance(member, types.ModuleType):
                    if member.__name__.startswith(core.__name__):
                        visit(path + "." + name, member)
                elif isinstance(member, type):
                    if ours(member).startswith(core.__name__):
                        visit(path + "." + name, member)
                elif isinstance(member, property) or callable(member):
                    visit(path + "." + name, member)
                elif ours(type(member)).startswith(core.__name__):  # an enum member, a preset
                    visit(path + "." + name + ".__class__", type(member))

    visit(core.__name__, core)
    return found


def test_signatures_name_python_classes(core):
    docs = [(path, obj.__doc__) for path, obj in documented(core) if isinstance(obj.__doc__, str)]
    assert len(docs) > 300  # the walk reaches the whole module
    assert [(path, doc) for path, doc in docs if "nuvra::" in doc] == []
    # Every class a signature names under the module is one Python reaches.
    unknown = []
    for path, doc in docs:
        for name in set(re.findall(r"nuvra\.core(?:\.\w+)+", doc)):
            try:
                member_of(core, name[len(core.__name__) + 1 :])
            except AttributeError:
                unknown.append((path, name))
    assert unknown == []
