def test_ident(NP):
    ident = NP.Ident(255, 2, 3, 4)
    assert (str(ident), repr(ident), ident.channel) == ("(255, 2, 3)", "(255, 2, 3)", 4)
    assert NP.Ident(1, 2, 3) == NP.Ident(1, 2, 3, 0) != NP.Ident(1, 2, 3, 1)


def test_info(NP, failure):
    info = NP.Info(NP.Ident(1, 2, 3), [NP.CNP2, NP.HRC, NP.CNP2])
    assert (info.types, info.has_lut) == ([NP.HRC, NP.CNP2], False)
    assert NP.Info(NP.Ident(1, 2, 3), (t for t in [NP.FNP3]), True).types == [NP.FNP3]
    # A failed setter keeps the old set.
    assert (failure(lambda: setattr(info, "types", [NP.FNP2, 2]))[0], info.types) == (RuntimeError, [NP.HRC, NP.CNP2])
    assert NP.Info.hrc(True) == NP.Info(NP.Ident(0, 0, 0), [NP.HRC], True) != NP.Info.hrc(has_lut=False)
    info.ident.col = 5  # the view writes into the info
    assert str(info.ident) == "(5, 2, 3)"


def test_sram_size(NP, failure):
    SramSize = NP.SramSize
    assert SramSize() == SramSize(0, 0) == SramSize(0, 0, 0, 0) and SramSize(1, 2, 3, 4).evsram_32b_size == 4
    size = SramSize(-1, 0)  # a signed argument keeps its 32-bit pattern
    size.weight_bytes = 2**31
    assert (size.input_bytes, size.weight_bytes) == (4294967295, 2**31)
    NP.SramSize_v2.input_bytes = 1  # each read of a preset is a copy
    assert NP.SramSize_v2.input_bytes == 65536
    assert failure(lambda: NP.SramSize_v3) == (AttributeError, "module 'nuvra.core.NP' has no attribute 'SramSize_v3'")


def test_mesh_construction(core, NP):
    e, c, small = NP.Ident(1, 0, 0), NP.Ident(2, 0, 0), NP.SramSize(1, 2)
    m = NP.Mesh(core.v2, e, c, None, [])
    assert (m.dma_event, m.dma_conf, m.np_sram_size, m.skip_dmas, m.hrc) == (e, c, NP.SramSize_v2, [], None)
    by_keyword = NP.Mesh(version=core.v1, dma_event=e, dma_conf=c, has_hrc=None, nps=(), np_sram_size=small)
    assert (by_keyword.dma_event, by_keyword.np_sram_size) == (e, small)


def test_mesh_views_write_into_the_mesh(v2_mesh):
    mesh = v2_mesh()
    mesh.nps[0].has_lut = True
    mesh.np_sram_size.input_bytes = 1
    mesh.hrc.ident.row = 3
    mesh.skip_dmas[0].ident.channel = 0
    assert (mesh.nps[0].has_lut, mesh.np_sram_size.input_bytes, str(mesh.hrc.ident)) == (True, 1, "(0, 3, 0)")
    assert mesh != v2_mesh()


def test_a_view_of_a_replaced_element_is_gone(v2_mesh, failure):
    mesh = v2_mesh()
    view = mesh.nps[0]
    mesh.nps = []
    gone = (IndexError, "This NP.Info no longer belongs to its mesh.")
    assert failure(lambda: view.has_lut) == gone and failure(lambda: setattr(view, "has_lut", 1)) == gone
