"""Benchmarks of quillmark against FastWARC, warcio and a plain copy."""
