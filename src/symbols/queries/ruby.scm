; Definitions. Later patterns win on the same name.

(assignment left: (constant) @name) @definition.constant
(call method: (identifier) @_attr
  arguments: (argument_list (simple_symbol) @name)
  (#any-of? @_attr "attr_reader" "attr_writer" "attr_accessor")) @definition.property

; References.

(call receiver: (constant) @name method: (identifier) @_new (#eq? @_new "new")) @reference.new
(superclass (constant) @name) @reference.type
(superclass (scope_resolution name: (constant) @name)) @reference.type
(call method: (identifier) @_include arguments: (argument_list (constant) @name)
  (#any-of? @_include "include" "extend" "prepend")) @reference.implementation
(call method: (identifier) @_require arguments: (argument_list (string (string_content) @name))
  (#any-of? @_require "require" "require_relative" "load")) @reference.import
