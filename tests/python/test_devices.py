import pytest


def test_hw_version(core):
    version = core.HwVersion(0xBC, 0xA1, 3, 9)
    assert (str(version), repr(version), version.ip_version) == ("BC.A1.003.009", "BC.A1.003.009", core.v1)
    assert version == core.HwVersion.ZR62_v1 != core.HwVersion(0xBC, 0xA1, 3, 8)


def test_virtual_device(core, v2_mesh):
    mesh = v2_mesh()
    device = core.Device(core.HwVersion.Tolmar_v2, mesh)
    assert (device.desc, device.ip_version) == ("VirtualDevice/BC.A2.001.000", core.v2)
    mesh.nps = []
    assert device.mesh == v2_mesh()  # the device keeps its own copy
    nps = core.Device(core.HwVersion.Tolmar_v2, v2_mesh()).mesh.nps  # the views keep the device alive
    assert [str(np.ident) for np in nps] == ["(1, 0, 0)", "(1, 0, 1)"]


@pytest.mark.parametrize(
    "write",
    [
        lambda mesh, NP: setattr(mesh.nps[0].ident, "col", 7),
        lambda mesh, NP: setattr(mesh, "hrc", None),
    ],
)
def test_a_devices_mesh_cannot_be_changed(NP, device, v2_mesh, failure, write):
    assert failure(lambda: write(device.mesh, NP)) == (AttributeError, "The mesh of a device cannot be changed.")
    assert device.mesh == v2_mesh()
