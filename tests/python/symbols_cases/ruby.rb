require "json"

module Storage
  LIMIT = 10

  class Bucket < Base
    include Enumerable
    attr_reader :size

    def initialize
      @items = Hash.new # not_called
    end

    def self.build
      parse("not_called")
    end
  end
end
