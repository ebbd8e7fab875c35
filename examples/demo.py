"""The main job: build a small quantized model, save and reload it, run it, and map it onto
virtual second-generation devices."""

import tempfile
from collections import Counter
from pathlib import Path

import numpy as np

from nuvra import core

NP = core.NP


def virtual_v2_device(columns=2, nps_per_column=2):
    """A second-generation device: an HRC, CNPs in each column and two skip DMAs."""
    nps = [
        NP.Info(NP.Ident(col, 0, id), [NP.CNP1, NP.CNP2], has_lut=True)
        for col in range(1, columns + 1)
        for id in range(nps_per_column)
    ]
    skip_dmas = [NP.Info(NP.Ident(0, 1, 0, channel), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD]) for channel in range(2)]
    mesh = NP.Mesh(core.v2, NP.Ident(0, 0, 1), NP.Ident(0, 0, 0), NP.Info.hrc(has_lut=True), nps, skip_dmas)
    return core.Device(core.HwVersion.Tolmar_v2, mesh)


def build_model():
    """InputData 16 x 16 x 8 -> Conv2D 3 x 3, 16 filters, ReLU -> Conv2D 3 x 3, 8 filters."""
    model = core.Model()
    model.add(core.Layer(core.LayerParams(core.InputData, dict(input_width=16, input_height=16, input_channels=8)), "in"))
    # (name, filters, activation, output shift): outputs are scaled down by 2^shift.
    for name, filters, activation, shift in (("conv1", 16, 1, 0), ("conv2", 8, 0, 3)):
        entries = dict(kernel_size=3, filters=filters, padding=1, activation=activation)
        model.add(core.Layer(core.LayerParams(core.Conv2D, entries), name))
        variables = model.get_layer(name).variables
        weights = variables["weights"]
        # Small fixed weights of both signs, so that the outputs stay mid-range.
        variables["weights"] = ((np.arange(weights.size) * 7 % 5) - 2).astype(np.int8).reshape(weights.shape)
        variables["output_scales"] = np.ones(filters, np.uint8)
        variables["output_shift"] = np.full(filters, shift, np.int8)
    return model


def print_mapping(model):
    for layer in model.layers:
        nps = layer.mapping.nps if layer.mapping else []
        placed = ", ".join(f"{c.type.name} ({c.ident.col},{c.ident.row},{c.ident.id}) filters "
                           f"{c.start_neuron}..{c.start_neuron + c.filters - 1}" for c in nps)
        print(f"  {layer.name:<6} {placed or 'outside the NPs'}")
    print("  components:", {t.name: n for t, n in model.component_count.items()})
    for sequence in model.sequences:
        parts = sequence.program_parts
        print(f"  sequence {sequence.name}: {len(sequence.passes)} pass(es) "
              f"{[[l.name for l in p.layers] for p in sequence.passes]}, program {len(sequence.program)} bytes "
              f"(program_info {len(parts.program_info)}, program_data {len(parts.program_data)})")
        print(f"  {core.get_program_memory_infos(sequence.program)}")


def describe(device):
    """The device's NPs by type, its shared SRAM and its mapping constraint defaults."""
    mesh = device.mesh
    print(f"\n{device.desc} (IP {device.ip_version.name}, hardware version {device.version})")
    counts = Counter(t.name for info in [mesh.hrc, *mesh.nps, *mesh.skip_dmas] for t in info.types)
    for name in NP.Type.__members__:
        if counts[name]:
            print(f"  {name:<15} {counts[name]} NP(s)")
    sram = mesh.np_sram_size
    print(f"  shared SRAM per NP pair: input {sram.input_bytes} B, weights {sram.weight_bytes} B")
    constraints = core.MapConstraints(device)
    print(
        "  MapConstraints defaults: CNP width {}, height {}, filters {}".format(
            constraints.cnp_max_width_default,
            constraints.cnp_max_height_default,
            constraints.cnp_max_filters_default,
        )
    )


def main():
    print(f"nuvra.core {core.__version__}: {core.__doc__}")
    print("IP versions:", ", ".join(core.IpVersion.__members__))
    print("Hardware devices on this host:", core.HardwareDevice.devices())
    for name, mode in core.soc.ClockMode.__members__.items():
        print(f"clock mode {name}: {int(mode) / 1e6:g} MHz")

    model = build_model()
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "demo.fbz"
        model.save(str(path))
        model = core.Model(str(path))
        print(f"Saved and reloaded {path.name}: {path.stat().st_size} bytes, {model.layer_count} layers, "
              f"{model.macs} MACs, input {model.input_shape}, output {model.output_shape}")

    # Two samples, run in software before mapping: a model mapped on a virtual device does not run.
    samples = (np.arange(2 * 16 * 16 * 8) * 13 % 16).astype(np.uint8).reshape(2, 16, 16, 8)
    outputs = model.forward(samples)
    print(f"Forward on two samples: {outputs.shape} {outputs.dtype}, first values {outputs.reshape(-1)[:8].tolist()}")
    metrics = model.metrics
    print("  metrics:", {name: metrics[name] for name in sorted(metrics.names)})

    device = virtual_v2_device()
    describe(device)
    print("Mapped on it:")
    model._map(device)
    print_mapping(model)

    # Two columns of one CNP each, at most 8 filters per CNP: conv1 is split over both CNPs and
    # conv2 runs in a second pass on NPs the first pass used.
    narrow = virtual_v2_device(columns=2, nps_per_column=1)
    constraints = core.MapConstraints(narrow)
    constraints.cnp_max_filters = 8
    constraints.hwpr_loopitself = True
    print("\nOn a device of two columns of one CNP, at most 8 filters per CNP, NPs reused by the next pass:")
    model._map(narrow, constraints=constraints)
    print_mapping(model)

    print("\nOn the same device, at most 4 filters per CNP:")
    constraints = core.MapConstraints(narrow)
    constraints.cnp_max_filters = 4
    try:
        model._map(narrow, constraints=constraints)
    except RuntimeError as refusal:
        print(f"  refused: {refusal}")


if __name__ == "__main__":
    main()
