from ravu.cmd.compile import main
if __name__ == "__main__": main()  # noqa: E701  (importing it, as tools that list a package do, runs nothing)
