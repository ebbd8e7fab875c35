"""The MobileNet-like forward of bench/mobilenet_forward against onnxruntime, in one run.

onnxruntime runs the same network (224 x 224 x 3 uint8 input, 3 x 3 stride-2 convolution of 32
filters, 13 depthwise 3 x 3 + pointwise 1 x 1 blocks of 64 to 1024 filters with ReLU, global average
pooling, a dense layer of 1000 units) twice: quantized (QLinearConv with uint8 activations and int8
weights, QLinearGlobalAveragePool, QLinearMatMul) and in float32 (Conv, Relu, GlobalAveragePool,
Gemm). Both are timed on one thread for one image, on one thread for a batch and on every core for
the batch, alternating with the project's benchmark, and the ratios are printed.

It needs onnxruntime, onnx and numpy, which are no dependency of the project: install them in a
scratch virtual environment outside the project and run the script with its interpreter, e.g.
    python3.12 -m venv /work/scratch-ort && /work/scratch-ort/bin/pip install onnxruntime onnx numpy
    /work/scratch-ort/bin/python bench/ort_compare.py build/release/bench/mobilenet_forward
Never run by the tests.
"""

import argparse
import os
import subprocess
import time

import numpy as np
import onnx
import onnxruntime as ort
from onnx import TensorProto, helper, numpy_helper

BLOCKS = [(1, 64), (2, 128), (1, 128), (2, 256), (1, 256), (2, 512), (1, 512), (1, 512), (1, 512), (1, 512),
          (1, 512), (2, 1024), (1, 1024)]


def build(quantized, batch):
    rng = np.random.default_rng(1)
    nodes, inits = [], []

    def const(name, array):
        inits.append(numpy_helper.from_array(array, name))
        return name

    act_scale = const("act_scale", np.array(0.05, np.float32))
    act_zero = const("act_zero", np.array(0, np.uint8))
    w_scale = const("w_scale", np.array(0.01, np.float32))
    w_zero = const("w_zero", np.array(0, np.int8))
    x = "x"
    channels = 3

    def conv(name, x, cin, cout, kernel, stride, group):
        shape = (cout, cin // group, kernel, kernel)
        pad = [kernel // 2] * 4
        if quantized:
            w = const(name + "_w", rng.integers(-127, 128, shape, dtype=np.int8))
            b = const(name + "_b", rng.integers(-20, 21, (cout,), dtype=np.int32))
            nodes.append(helper.make_node("QLinearConv", [x, act_scale, act_zero, w, w_scale, w_zero, act_scale,
                                                          act_zero, b], [name], kernel_shape=[kernel, kernel],
                                          strides=[stride, stride], pads=pad, group=group))
            return name
        w = const(name + "_w", rng.standard_normal(shape).astype(np.float32))
        b = const(name + "_b", rng.standard_normal(cout).astype(np.float32))
        nodes.append(helper.make_node("Conv", [x, w, b], [name + "_c"], kernel_shape=[kernel, kernel],
                                      strides=[stride, stride], pads=pad, group=group))
        nodes.append(helper.make_node("Relu", [name + "_c"], [name]))
        return name

    x = conv("conv0", x, 3, 32, 3, 2, 1)
    channels = 32
    for i, (stride, filters) in enumerate(BLOCKS, 1):
        x = conv(f"dw{i}", x, channels, channels, 3, stride, channels)
        x = conv(f"pw{i}", x, channels, filters, 1, 1, 1)
        channels = filters
    if quantized:
        nodes.append(helper.make_node("QLinearGlobalAveragePool", [x, act_scale, act_zero, act_scale, act_zero],
                                      ["pool"], domain="com.microsoft", channels_last=0))
        nodes.append(helper.make_node("Flatten", ["pool"], ["flat"]))
        w = const("fc_w", rng.integers(-127, 128, (channels, 1000), dtype=np.int8))
        nodes.append(helper.make_node("QLinearMatMul", ["flat", act_scale, act_zero, w, w_scale, w_zero, act_scale,
                                                        act_zero], ["y"]))
        elem = TensorProto.UINT8
    else:
        nodes.append(helper.make_node("GlobalAveragePool", [x], ["pool"]))
        nodes.append(helper.make_node("Flatten", ["pool"], ["flat"]))
        w = const("fc_w", rng.standard_normal((1000, channels)).astype(np.float32))
        nodes.append(helper.make_node("Gemm", ["flat", w], ["y"], transB=1))
        elem = TensorProto.FLOAT
    graph = helper.make_graph(nodes, "mobilenet_like", [helper.make_tensor_value_info("x", elem, [batch, 3, 224, 224])],
                              [helper.make_tensor_value_info("y", elem, [batch, 1000])], inits)
    opsets = [helper.make_opsetid("", 13), helper.make_opsetid("com.microsoft", 1)]
    return helper.make_model(graph, opset_imports=opsets).SerializeToString()


def session(model, threads):
    options = ort.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    options.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
    return ort.InferenceSession(model, options, providers=["CPUExecutionProvider"])


def timed(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return float(np.median(times))


def nuvra(bench, repeats, batch, threads):
    out = subprocess.run([bench, str(repeats), str(batch), str(threads)], check=True, capture_output=True,
                         text=True).stdout
    print(out, end="")
    line = [row for row in out.splitlines() if row.startswith("result ")][-1]
    return {k: float(v) / (1e3 if k.endswith("_ms") else 1) for k, v in (kv.split("=") for kv in line.split()[1:])}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bench", help="path of the built mobilenet_forward benchmark")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--batch", type=int, default=32)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    args = parser.parse_args()

    rng = np.random.default_rng(3)
    image = {True: rng.integers(0, 256, (1, 3, 224, 224), dtype=np.uint8)}
    image[False] = image[True].astype(np.float32)
    many = {True: rng.integers(0, 256, (args.batch, 3, 224, 224), dtype=np.uint8)}
    many[False] = many[True].astype(np.float32)
    times = {}
    for quantized in (True, False):
        one = session(build(quantized, 1), 1)
        batch_one = session(build(quantized, args.batch), 1)
        all_cores = session(build(quantized, args.batch), args.threads)
        for s, x in ((one, image[quantized]), (batch_one, many[quantized]), (all_cores, many[quantized])):
            s.run(None, {"x": x})  # warm up
        times[quantized] = (one, batch_one, all_cores)

    # The project's benchmark and onnxruntime, one after the other, twice; the medians of both.
    ours, theirs = [], {True: ([], [], []), False: ([], [], [])}
    for _ in range(2):
        ours.append(nuvra(args.bench, args.repeats, args.batch, args.threads))
        for quantized, (one, batch_one, all_cores) in times.items():
            theirs[quantized][0].append(timed(lambda: one.run(None, {"x": image[quantized]}), args.repeats))
            theirs[quantized][1].append(timed(lambda: batch_one.run(None, {"x": many[quantized]}), 2))
            theirs[quantized][2].append(timed(lambda: all_cores.run(None, {"x": many[quantized]}), args.repeats))
    image_time = float(np.median([r["image_ms"] for r in ours]))
    batch_time = float(np.median([r["batch_all_ms"] for r in ours]))
    batch_one = float(np.median([r["batch_1t_ms"] for r in ours]))
    available = float(np.median([r["kernel_scaling"] for r in ours]))
    print()
    print(f"onnxruntime {ort.__version__}; batch of {args.batch}, all cores = {args.threads} threads")
    print(f"  nuvra: one image, 1 thread {image_time * 1e3:.3f} ms; batch, 1 thread {batch_one * 1e3:.1f} ms; "
          f"batch, all cores {batch_time * 1e3:.1f} ms")
    for quantized, label in ((True, "QLinearConv (uint8 x int8)"), (False, "float Conv")):
        one, batch_one_t, all_cores = (float(np.median(t)) for t in theirs[quantized])
        print(f"  {label}: one image, 1 thread {one * 1e3:.3f} ms; batch, 1 thread {batch_one_t * 1e3:.1f} ms; "
              f"batch, all cores {all_cores * 1e3:.1f} ms")
        print(f"    nuvra's speed against it: one image, 1 thread {one / image_time:.2f}x; batch, 1 thread "
              f"{batch_one_t / batch_one:.2f}x; batch, all cores {all_cores / batch_time:.2f}x")
    print(f"  nuvra batch of {args.batch}: 1 thread {batch_one * 1e3:.1f} ms, {args.threads} threads "
          f"{batch_time * 1e3:.1f} ms: scaling {batch_one / batch_time:.2f}x "
          f"({batch_one / batch_time / args.threads:.2f} of linear; goal 0.70); the kernel on cached data scales "
          f"{available:.2f}x here")


if __name__ == "__main__":
    main()
