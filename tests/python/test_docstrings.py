import pytest

# Per class, member to doc string; an empty member is the class itself, an empty class the module.
DOCS = {
    "": {"get_program_memory_infos": "Get the memory requirements for the given program"},
    "NP": {"": "Neural Processor"},
    "MapConstraints": {
        "__init__": "Obtain hardware constraints from a device.\n\n           Args:\n              device(nuvra.device): the device.",
        "cnp_max_width_default": "The maximal width to map a CNP.\n\n                             Returns:\n                                int: the maximal witdh",
        "cnp_max_height_default": "The maximal height to map a CNP.\n\n                             Returns:\n                                int: the maximal height",
        "cnp_max_filters_default": "The maximal filters number to map a CNP.\n\n                             Returns:\n                                int: the maximal filters number",
        "device": "Return the device used.\n\n                             Returns:\n                                :obj:`nuvra.device`: the device.",
        "cnp_max_width": "The width to use to map a CNP.", "cnp_max_height": "The height to use to map a CNP.",
        "cnp_max_filters": "The filters number to use to map a CNP.",
        "hwpr_loopitself": "The HWPR NP loopitself feature.",
        "next_layer": "\n           Callback on the layer mapping.\n\n           Args:\n             layer_name (str): the layer name",
        "select_nps": "\n           Selection from a predefined list of NPs.\n\n           Args:\n             source_nps (:obj:`list`): the predefined list of NPs\n             num_nps (int): the number of NPs needed\n             type (:obj:`nuvra.NP.Type`): the type of NPs\n\n           Returns:\n             :obj:`list`: the selected list of NPs"},
    "Device": {"desc": "\n             Returns the Device description\n\n             :return: a string describing the Device\n           ",
        "version": "The device hardware version.", "ip_version": "The device IP version.",
        "mesh": "The device Mesh layout"},
    "SocDriver": {"clock_mode": "Clock mode of the Vexa.",
        "power_measurement_enabled": "Power measurement is off by default. Toggle it on to get power information in the statistics or when calling PowerMeter.events().",
        "power_meter": "Power meter associated to the SoC."},
    "HardwareDevice": {
        "learn_enabled": "\n           Property that enables/disables learning on current program (if\n           possible).\n          ",
        "program": "\n           Property that retrieves current program or programs a device using a\n           serialized program bytes object.\n          ",
        "program_external": "\n            Program a device using a serialized program info bytes object,\n            and the address, as it is seen from nuvra on the device,\n            of corresponding program data that must have been written beforehand.\n           ",
        "unprogram": "\n            Clear current program from hardware device, restoring its initial\n            state\n           ",
        "forward": "\n           Processes inputs on a programmed device.\n\n           :param inputs: ``numpy.ndarray`` with shape matching current program\n\n           :return: ``numpy.ndarray`` with outputs from the device\n          ",
        "predict": "\n           Processes inputs on a programmed device, returns a float array.\n\n           :param inputs: ``numpy.ndarray`` with shape matching current program\n\n           :return: ``numpy.ndarray`` with float outputs from the device\n          ",
        "memory": "The device memory usage and top usage (in bytes)", "reset_top_memory": "Reset the device memory informations",
        "soc": "\n            The SocDriver interface used by the device, or None if the device\n            is not a SoC\n          ",
        "metrics": "The metrics from this device", "inference_power_events": "Copy of power events logged after inference",
        "learn_mem": "\n            Property that retrieves learning layer's memory or updates a device\n            using a serialized learning layer memory buffer.\n          ",
        "devices": "\n             Returns the full list of available hardware devices\n\n             :return: list of Device\n           "},
    "boardZr62": {"": "Spi flash controller for the zr62meant for testing, debugging and validation only."},
    "HwVersion": {"vendor_id": "The hardware vendor identifier", "product_id": "The hardware product identifier",
        "major_rev": "The hardware major revision", "minor_rev": "The hardware minor revision",
        "ip_version": "The IP version."},
    "Metrics": {"": "\n      A set of 64-bit integer metrics indexed by name.\n      ",
        "names": "The list of metrics names"},
    "PowerEvent": {"": "\n    A timestamped power measurement.\n\n    Each PowerEvent contains:\n    - a voltage value in µV (microvolt),\n    - a current value in mA (milliampere),\n    - the corresponding power value in mW (milliwatt).\n          ",
        "ts": "Timestamp of the event", "voltage": "Voltage value in µV", "current": "Current value in mA",
        "power": "Power value in mW"},
    "PowerMeter": {"": "\n    Gives access to power measurements.\n\n    When power measurements are enabled for a specific device, this object\n    stores them as a list of ``PowerEvent`` objects.\n    The events list cannot exceed a predefined size: when it is full, older\n    events are replaced by newer events.\n          ",
        "events": "Retrieve all pending events", "floor": "Get the floor power"},
    "ProgramMemoryRequired": {"input_memory": "memory required (in bytes) for one input",
        "input_descriptor_memory": "memory required (in bytes) for one input descriptor",
        "output_memory": "memory required (in bytes) for one output",
        "program_memory": "memory required (in bytes) for program",
        "program_descriptors_memory": "memory required (in bytes) for program descriptors"},
    "NP.Ident": {"": "\n    Represents the unique identifier for a Hardware Component.\n\n    This includes the component position on the mesh (row, column, id) and\n    the channel index for skip DMAs.",
        "col": "Hardware Component column number", "row": "Hardware Component row number",
        "id": "Hardware Component id", "channel": "Component channel"},
    "NP.Info": {"": "\n        Describes a hardware component.\n\n        Includes its unique identifier and the set of hardware types it supports.\n        ",
        "ident": "Hardware Component identifier", "types": "Hardware Component supported types",
        "has_lut": "Indicate whether the NP has a lookup table.",
        "hrc": "Construct an nuvra.NP.Info for HRC with optional LUT."},
    "NP.NpSpace": {"": "\n      Represents the part of the input used by this Neural Processor if a layer is split over several NPs.",
        "x": "X index", "y": "Y index", "shape": "Shape of the space"},
    "NP.MemoryInfo": {"": "Represents memory usage information for a Hardware Component.\n\n      This includes memory used by inputs, weights, and any external buffers.\n      All sizes are in bytes.\n      ",
        "input_size": "Input memory size. (Bytes)", "weight_size": "Weight memory size. (Bytes)",
        "external_size": "External memory size. (Bytes)",
        "stsram_32b_size": "Stsram size for Wisp. (Number of 32-bits words)",
        "fsram_64b_size": "Fsram Wisp memory size. (Number of 64-bits words)",
        "tsram_51b_size": "Tsram Wisp memory size. (Number of 51-bits words)",
        "evsram_32b_size": "Evsram Wisp memory size. (Number of 32-bits words)"},
    "NP.Component": {"": "\n      An Nuvra component", "ident": "Hardware Component identifier",
        "type": "Hardware Component type", "mem_info": "Hardware Component memory information",
        "filters": "Number of filters processed by the Neural Processor",
        "start_neuron": "Index of the first filter processed by the Neural Processor",
        "spatial_partition": "Spatial partition processed by the Neural Processor",
        "single_buffer": "Neural Processor uses a single or dual input buffer"},
    "NP.SramSize": {"": "Size of shared SRAM available inside the mesh.\n      ",
        "input_bytes": "Size of shared input packet SRAM available inside the mesh for each two NPs. (Bytes).",
        "weight_bytes": "Size of shared filter SRAM available inside the mesh for each two NPs. (Bytes).",
        "stsram_32b_size": "Size of STSRAM in 32-bit words (Wisp only).",
        "fsram_64b_size": "Size of FSRAM in 64-bit words (Wisp only).",
        "tsram_51b_size": "Size of TSRAM in 51-bit words (Wisp only).",
        "evsram_32b_size": "Size of EVSRAM in 32-bit words (Wisp only)."},
    "NP.Mesh": {"": "\n    Represents the layout of a mesh of Neural Processors.\n\n    Contains configuration and event endpoints related to DMA (Direct Memory Access)\n    for managing data transfer across the mesh, HRC availability and sram memory sizes.\n    ",
        "dma_event": "DMA event endpoint", "dma_conf": "DMA configuration endpoint", "hrc": "HRC if installed.",
        "skip_dmas": "Skip DMAs", "nps": "Neural processors",
        "np_sram_size": "Size of shared SRAM available inside the mesh for NPs."},
}  # fmt: skip


def member_of(core, owner, member):
    target = core
    for name in filter(None, owner.split(".") + [member]):
        target = getattr(target, name)
    return target


def doc_of(core, owner, member):
    target = member_of(core, owner, member)
    doc = target.__doc__
    if callable(target) and not isinstance(target, type):
        # pybind11 puts the signature first: "name(...) -> ...\n\n" + doc + "\n"
        signature, doc = doc.split("\n\n", 1)
        assert signature.startswith(member + "("), signature
        doc = doc[:-1]
    return doc


@pytest.mark.parametrize("owner, member, doc", [(o, m, d) for o, docs in DOCS.items() for m, d in docs.items()])
def test_doc_strings(core, owner, member, doc):
    assert doc_of(core, owner, member) == doc


def test_component_type_doc_lists_each_value(NP):
    assert NP.Type.__doc__ == (
        "Harwdare Component type\n\nMembers:\n\n"
        "  HRC : High Resolution Convolution\n\n"
        "  CNP1 : Convolutional Neural Processor Type 1\n\n"
        "  CNP2 : Convolutional Neural Processor Type 2\n\n"
        "  FNP2 : FullyConnected Neural Processor (external memory)\n\n"
        "  FNP3 : FullyConnected Neural Processor (internal memory)\n\n"
        "  TNP_B : Temporal Neural Processor Buffered\n\n"
        "  TNP_R : Temporal Neural Processor Recurrent\n\n"
        "  SKIP_DMA_STORE : Skip DMA store engine\n\n"
        "  SKIP_DMA_LOAD : Skip DMA load engine"
    )


# As pybind11 renders them: argument names, defaults and positional-only markers.
@pytest.mark.parametrize(
    "owner, member, signature",
    [
        ("Device", "__init__", "(self: nuvra.core.Device, version: nuvra::HwVersion, mesh: nuvra.core.NP.Mesh, /) -> None"),
        ("", "get_program_memory_infos", "(program: bytes, /) -> nuvra.core.ProgramMemoryRequired"),
        ("HardwareDevice", "predict", "(self: nuvra.core.HardwareDevice, inputs: typing.Annotated[numpy.typing.ArrayLike, "
         "numpy.uint8], /) -> numpy.ndarray"),
        ("HardwareDevice", "program_external", "(self: nuvra.core.HardwareDevice, arg0: bytes, arg1: typing.SupportsInt | "
         "typing.SupportsIndex) -> None"),
        ("HardwareDevice", "__eq__", "(self: nuvra.core.HardwareDevice, arg0: nuvra.core.Device) -> bool"),
        ("HardwareDevice", "devices", "() -> list[nuvra.core.HardwareDevice]"),
        ("boardZr62", "get_flash", "(arg0: nuvra.core.HardwareDevice) -> SpiFlashController"),
        ("NP.Info", "__init__", "(self: nuvra.core.NP.Info, ident: nuvra.core.NP.Ident, types: collections.abc.Iterable, "
         "has_lut: bool = False) -> None"),
        ("MapConstraints", "select_nps", "(self: nuvra.core.MapConstraints, source_nps: collections.abc.Sequence["
         "nuvra.core.NP.Ident], num_nps: typing.SupportsInt | typing.SupportsIndex, type: nuvra.core.NP.Type) -> "
         "list[nuvra.core.NP.Ident]"),
    ],
)
def test_signatures(core, owner, member, signature):
    assert member_of(core, owner, member).__doc__.split("\n")[0] == member + signature


def test_fit_overloads(core):
    lines = core.HardwareDevice.fit.__doc__.split("\n")
    labels = [line.split("input_labels: ")[1] for line in lines if "input_labels" in line]
    assert labels == ["typing.SupportsFloat | typing.SupportsIndex) -> numpy.ndarray",
                      "numpy.ndarray) -> numpy.ndarray", "list = []) -> numpy.ndarray"]  # fmt: skip
    assert lines.count("Learn from inputs on a programmed device.") == 3
