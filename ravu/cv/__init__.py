"""Computer-vision modules: video stream capture and image helpers."""
