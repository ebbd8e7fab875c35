import pytest


def test_hw_version(core):
    HwVersion = core.HwVersion
    version = HwVersion(1, 2, 255, 7)
    assert (str(version), repr(version)) == ("01.02.255.007", "01.02.255.007")
    assert (version.vendor_id, version.product_id, version.major_rev, version.minor_rev) == (1, 2, 255, 7)
    assert (version.ip_version, HwVersion.Vexa_v2.ip_version) == (core.none, core.v1)
    assert HwVersion(0xBC, 0xA1, 3, 9) == HwVersion.ZR62_v1 != HwVersion(0xBC, 0xA1, 3, 8)
    assert HwVersion.Tolmar_v2 is HwVersion.Tolmar_v2 and (HwVersion.Vexa_v1 == 5) is False
    presets = ["Vexa_v1", "Vexa_v2", "Dorvel_v1", "ZR62_v1", "Tolmar_v2", "Wisp_Tolmar"]
    assert [str(getattr(HwVersion, p)) for p in presets] == [
        "BC.00.000.001", "BC.00.000.002", "BC.A1.003.006", "BC.A1.003.009", "BC.A2.001.000", "BC.B1.001.000",
    ]  # fmt: skip


def test_refused_arguments_are_type_errors(core, failure):
    HwVersion = core.HwVersion
    refused = [lambda: HwVersion(256, 0, 0, 0), lambda: HwVersion(-1, 0, 0, 0), lambda: HwVersion(1.0, 0, 0, 0),
               lambda: HwVersion(vendor_id=1, product_id=0, major_rev=0, minor_rev=0),
               lambda: hash(HwVersion.Vexa_v1), lambda: core.Device(HwVersion.Tolmar_v2)]  # fmt: skip
    assert [failure(call)[0] for call in refused] == [TypeError] * len(refused)


def test_virtual_device(core, NP, v2_mesh, failure):
    mesh = v2_mesh()
    device = core.Device(core.HwVersion.Tolmar_v2, mesh)
    assert device.desc == "VirtualDevice/BC.A2.001.000"
    assert (device.ip_version, device.version, device.mesh) == (core.v2, core.HwVersion.Tolmar_v2, mesh)
    mesh.nps = []
    assert len(device.mesh.nps) == 2  # the device keeps its own copy
    v1_mesh = NP.Mesh(core.v1, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), None, [])
    assert failure(lambda: core.Device(core.HwVersion(0xBC, 0xA2, 1, 0), v1_mesh)) == (
        ValueError,
        "Incompatible hardware and Ip versions: HW Version is 188.162.1.0. with product id = 162 "
        "while IP version is v1.",
    )
    nps = core.Device(core.HwVersion.Tolmar_v2, v2_mesh()).mesh.nps  # the views keep the device alive
    assert [str(np.ident) for np in nps] == ["(1, 0, 0)", "(1, 0, 1)"]


@pytest.mark.parametrize(
    "write",
    [
        lambda mesh, NP: setattr(mesh.nps[0], "has_lut", True),
        lambda mesh, NP: setattr(mesh.nps[0].ident, "col", 7),
        lambda mesh, NP: setattr(mesh, "hrc", None),
        lambda mesh, NP: setattr(mesh, "dma_event", NP.Ident(9, 9, 9)),
    ],
)
def test_a_devices_mesh_cannot_be_changed(core, NP, v2_mesh, failure, write):
    device = core.Device(core.HwVersion.Tolmar_v2, v2_mesh())
    assert failure(lambda: write(device.mesh, NP)) == (AttributeError, "The mesh of a device cannot be changed.")
    assert device.mesh == v2_mesh()
