"""A short session with the module."""
import zelkor5

print(zelkor5.__doc__)
print("last_error:", zelkor5.last_error())
