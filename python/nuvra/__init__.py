"""Nuvra: map quantized neural networks onto neuromorphic accelerators."""
