"""Capture sources the stream grabber reads: `FeedBase`, the interface, and
`PlainFeed`, files and streams opened with OpenCV."""
