"""ravu: a toolkit for computer-vision services."""
