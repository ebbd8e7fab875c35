import pytest


def test_ident(NP, failure):
    Ident = NP.Ident
    assert (str(Ident(1, 2, 3, 4)), repr(Ident(1, 2, 3, 4))) == ("(1, 2, 3)", "(1, 2, 3)")
    assert Ident(1, 2, 3) == Ident(1, 2, 3, 0) and Ident(1, 2, 3, 1) != Ident(1, 2, 3)
    assert (Ident(1, 2, 3) == 5) is False
    ident = Ident(255, 0, 0)
    ident.channel = 7
    assert (ident.col, ident.row, ident.id, ident.channel) == (255, 0, 0, 7)
    refused = [lambda: Ident(256, 0, 0), lambda: Ident(-1, 0, 0), lambda: Ident(1.0, 0, 0),
               lambda: Ident(col=1, row=0, id=0), lambda: setattr(ident, "row", 256), lambda: hash(ident)]  # fmt: skip
    assert [failure(call)[0] for call in refused] == [TypeError] * len(refused)


def test_type(NP):
    assert [(n, int(v)) for n, v in NP.Type.__members__.items()] == [
        ("HRC", 1), ("CNP1", 2), ("CNP2", 3), ("FNP2", 4), ("FNP3", 5),
        ("TNP_B", 7), ("TNP_R", 8), ("SKIP_DMA_STORE", 6), ("SKIP_DMA_LOAD", 9),
    ]  # fmt: skip
    assert NP.CNP1 is NP.Type.CNP1 and NP.Type(6) == NP.SKIP_DMA_STORE
    assert (NP.HRC == 1) is False


def test_info(NP, failure):
    i = NP.Ident(1, 2, 3)
    info = NP.Info(i, [NP.CNP2, NP.HRC, NP.CNP2])
    assert (info.types, info.has_lut) == ([NP.HRC, NP.CNP2], False)
    assert NP.Info(ident=i, types=(t for t in [NP.FNP3]), has_lut=True).types == [NP.FNP3]
    assert failure(lambda: NP.Info(i, [2]))[0] is RuntimeError
    assert failure(lambda: NP.Info(i, 2))[0] is TypeError
    assert failure(lambda: setattr(info, "types", [NP.FNP2, 2]))[0] is RuntimeError
    assert info.types == [NP.HRC, NP.CNP2]  # a failed setter keeps the old set
    assert NP.Info.hrc(True) == NP.Info(NP.Ident(0, 0, 0), [NP.HRC], True) != NP.Info.hrc(has_lut=False)
    view = info.ident
    view.col = 5
    assert str(info.ident) == "(5, 2, 3)"


def test_values_without_a_python_constructor_or_setters(NP, failure):
    assert NP.NpSpace() != NP.NpSpace()
    assert (NP.NpSpace().x, NP.NpSpace().y, NP.NpSpace().shape) == (0, 0, [])
    assert NP.MemoryInfo() == NP.MemoryInfo()
    assert failure(lambda: setattr(NP.MemoryInfo(), "input_size", 1))[0] is AttributeError
    assert failure(lambda: NP.Component())[0] is TypeError


def test_component(NP, probe):
    plain = probe.component(False, False)
    assert (plain.type, plain.filters, plain.start_neuron, plain.single_buffer) == (NP.SKIP_DMA_STORE, 0, 0, True)
    cnp = probe.component(True, False)
    assert (cnp.type, cnp.filters, cnp.start_neuron, cnp.single_buffer) == (NP.CNP2, 16, 8, False)
    assert (cnp.spatial_partition.x, cnp.spatial_partition.shape, cnp.mem_info.weight_size) == (1, [4, 4, 2], 100)
    assert cnp == probe.component(True, True) and cnp != plain  # buffering is not compared
    ident = cnp.ident
    ident.col = 9
    assert str(cnp.ident) == "(9, 2, 0)"


def test_sram_size(NP, failure):
    SramSize = NP.SramSize
    assert SramSize() == SramSize(0, 0) == SramSize(0, 0, 0, 0)
    assert (SramSize(-1, 0).input_bytes, SramSize(input_bytes=1, weight_bytes=2).weight_bytes) == (4294967295, 2)
    assert SramSize(1, 2, 3, 4).evsram_32b_size == 4
    size = SramSize()
    size.input_bytes = 2**31
    assert size.input_bytes == 2**31
    for call in (lambda: SramSize(1, 2, 3), lambda: SramSize(2**31, 0), lambda: setattr(size, "input_bytes", -1)):
        assert failure(call)[0] is TypeError
    assert NP.SramSize_v1 == SramSize(43008, 44800) and NP.SramSize_wisp == SramSize(448, 8192, 892, 256)
    assert failure(lambda: NP.SramSize_v3)[0] is AttributeError


def test_sram_size_presets_never_change(NP):
    NP.SramSize_v2.input_bytes = 1
    assert NP.SramSize_v2.input_bytes == 65536


def test_mesh_construction(core, NP, failure):
    e, c, small = NP.Ident(1, 0, 0), NP.Ident(2, 0, 0), NP.SramSize(1, 2)
    m = NP.Mesh(core.IpVersion.v2, e, c, None, [])
    assert (m.dma_event, m.dma_conf, m.np_sram_size, m.skip_dmas, m.hrc) == (e, c, NP.SramSize_v2, [], None)
    assert NP.Mesh(core.v1, e, c, None, [], [], small).np_sram_size == small
    by_keyword = NP.Mesh(version=core.v1, dma_event=e, dma_conf=c, has_hrc=None, nps=(), np_sram_size=small)
    assert by_keyword.np_sram_size == small
    invalid = (RuntimeError, "The mesh should have a valid IP version.")
    assert failure(lambda: NP.Mesh(core.IpVersion.none, e, c, None, [])) == invalid
    assert failure(lambda: NP.Mesh(core.none, e, c, None, [], [], small)) == invalid  # a size does not rescue it
    for call in (lambda: NP.Mesh(2, e, c, None, []), lambda: NP.Mesh(core.v2, e, c, None, [e])):
        assert failure(call)[0] is TypeError


def test_mesh_views_write_into_the_mesh(NP, v2_mesh):
    mesh = v2_mesh()
    mesh.nps[0].has_lut = True
    mesh.np_sram_size.input_bytes = 1
    mesh.hrc.ident.row = 3
    mesh.skip_dmas[0].ident.channel = 0
    assert (mesh.nps[0].has_lut, mesh.np_sram_size.input_bytes, str(mesh.hrc.ident)) == (True, 1, "(0, 3, 0)")
    assert mesh != v2_mesh()


@pytest.mark.parametrize(
    "take, replace",
    [
        (lambda m: m.nps[0], lambda m: setattr(m, "nps", [])),
        (lambda m: m.nps[1].ident, lambda m: setattr(m, "nps", m.nps[:1])),
        (lambda m: m.hrc, lambda m: setattr(m, "hrc", None)),
    ],
)
def test_a_view_of_a_replaced_element_is_gone(NP, v2_mesh, failure, take, replace):
    mesh = v2_mesh()
    view = take(mesh)
    replace(mesh)
    gone = (IndexError, "This NP.Info no longer belongs to its mesh.")
    assert failure(lambda: view.id if isinstance(view, NP.Ident) else view.has_lut) == gone
    assert failure(lambda: setattr(view, "id" if isinstance(view, NP.Ident) else "has_lut", 1)) == gone


def test_a_view_finds_the_new_element_at_its_place(NP, v2_mesh):
    mesh = v2_mesh()
    first, hrc = mesh.nps[0], mesh.hrc
    mesh.nps = [NP.Info(NP.Ident(7, 0, 0), [])]
    mesh.hrc = NP.Info.hrc(False)
    assert (str(first.ident), hrc.has_lut) == ("(7, 0, 0)", False)
