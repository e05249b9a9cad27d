"""The parts of tools/volume_table.py: text, disk space, log and capture."""
