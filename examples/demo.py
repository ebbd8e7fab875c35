"""The main job: what nuvra.core offers on this machine, and a virtual device to map onto."""

from collections import Counter

from nuvra import core

NP = core.NP


def virtual_v2_device(columns=2):
    """A second-generation device: an HRC, a pair of CNPs in each column and two skip DMAs."""
    nps = [
        NP.Info(NP.Ident(col, 0, id), [NP.CNP1, NP.CNP2], has_lut=True)
        for col in range(1, columns + 1)
        for id in range(2)
    ]
    skip_dmas = [NP.Info(NP.Ident(0, 1, 0, channel), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD]) for channel in range(2)]
    mesh = NP.Mesh(core.v2, NP.Ident(0, 0, 1), NP.Ident(0, 0, 0), NP.Info.hrc(has_lut=True), nps, skip_dmas)
    return core.Device(core.HwVersion.Tolmar_v2, mesh)


def main():
    print(f"nuvra.core {core.__version__}: {core.__doc__}")
    print("IP versions:", ", ".join(core.IpVersion.__members__))
    for name, mode in core.soc.ClockMode.__members__.items():
        print(f"clock mode {name}: {int(mode) / 1e6:g} MHz")

    device = virtual_v2_device()
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
        "MapConstraints defaults: CNP width {}, height {}, filters {}".format(
            constraints.cnp_max_width_default,
            constraints.cnp_max_height_default,
            constraints.cnp_max_filters_default,
        )
    )


if __name__ == "__main__":
    main()
