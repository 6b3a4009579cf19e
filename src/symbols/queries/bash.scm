; placeholder
