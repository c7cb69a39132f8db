"""Capture sources the stream grabber reads.

`FeedBase` (ravu.cv.feeds.feed_base) is the interface, `PlainFeed`
(ravu.cv.feeds.plain_feed) files and streams opened with OpenCV."""
