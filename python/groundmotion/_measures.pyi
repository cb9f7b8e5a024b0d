"""Compiled kernels of groundmotion beyond the core measures.

Declared, bound and documented like those of ``groundmotion._core``, and run
through the same call frame.
"""

__all__ = ["_simd_target"]

def _simd_target() -> str:
    """The instruction set the kernels run on in this process: "avx2",
    "baseline" (SSE2 on x86-64, NEON on aarch64) or "scalar"."""
