"""`python -m brinewick` runs the shell command."""
from .cli import main

main(prog_name="brinewick")
