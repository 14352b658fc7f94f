"""python -m telvane: the telvane command line."""

from telvane._cli import main

if __name__ == "__main__":
    raise SystemExit(main())
