"""Command-line tools of ravu."""
